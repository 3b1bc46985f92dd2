// rig.cpp - the hardening rig (see rig.h).
#include "rig.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "crkeyemu.h"
#include "kvosegments.h"

namespace rig {

namespace {

const char *const kPeerFile[P_COUNT] = {"FifoSts",  "FifoStsp", "FifoPare", "FifoAuth",
                                        "FifoDisp", "FifoEk",   "FifoLog",  "FifoFtp"};
const char *const kPeerNames[P_COUNT] = {"Sts", "Stsp", "Pare", "Auth", "Disp", "Ek", "Log", "Ftp"};

} // namespace

const char *PeerName(Peer p) { return p >= 0 && p < P_COUNT ? kPeerNames[p] : "?"; }

long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void SleepMs(int ms)
{
    struct timespec ts = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::array<unsigned char, FIFO_MSG_DATA_SIZE> Data(std::initializer_list<int> bytes)
{
    std::array<unsigned char, FIFO_MSG_DATA_SIZE> d;
    d.fill(' ');
    size_t i = 0;
    for (int b : bytes)
        d[i++] = static_cast<unsigned char>(b);
    return d;
}

Rig::Rig(const Options &opt) : opt_(opt) {}

Rig::~Rig()
{
    if (svc_.Running()) {
        kill(svc_.Pid(), SIGKILL);
        (void)Wait(5000);
    }
    if (collector_.joinable()) {
        char stop = 'q';
        (void)!write(wake_[1], &stop, 1);
        collector_.join();
    }
    for (kvoboard::PeerFifo &fifo : peer_)
        fifo.Close();
    for (int fd : wake_)
        if (fd >= 0)
            close(fd);
    CloseCommandWriter();
    segments_.Remove();
    if (emu_ != nullptr)
        CrKeyEmuDestroy(emu_);
    board_.Keep(std::getenv("KVO_RIG_KEEP") != nullptr);
    board_.Remove();
}

std::string Rig::Path(Peer p) const { return root_ + "/tmp/pipe/" + kPeerFile[p]; }
std::string Rig::CommandPath() const { return root_ + "/tmp/pipe/FifoGdbt"; }

bool Rig::MakeSegments()
{
    if (!segments_.Create(board_, true, &error_))
        return false;
    segments_.Fill(kvoboard::kConfig, '0');
    segments_.SetByte(kvoboard::kConfig, KVO_CONFIG_GUARD_BUTTON_OFF, static_cast<uint8_t>(opt_.guardButton));
    segments_.SetByte(kvoboard::kConfig, KVO_CONFIG_AUTH_FLAG_OFF, static_cast<uint8_t>(opt_.authFlag));
    segments_.Set(kvoboard::kOther, KVO_OTHER_PARENT_MODE_OFF, &opt_.parentMode, sizeof opt_.parentMode);
    segments_.SetByte(kvoboard::kOther, KVO_OTHER_HOLD_INHIBIT_OFF, opt_.holdInhibit);
    return true;
}

bool Rig::Prepare()
{
    // Not exported: the rig has threads, and several rigs may share a process.
    if (!board_.Create("/tmp/kvohard.XXXXXX", "", &error_))
        return false;
    root_ = board_.Dir();
    if (!board_.MakeFifos(&error_))
        return false;
    for (int p = 0; p < P_COUNT; ++p)
        if (!peer_[p].Open(Path(static_cast<Peer>(p)), &error_))
            return false;
    if (!MakeSegments())
        return false;
    if (opt_.device) {
        emu_ = CrKeyEmuCreate(&error_);
        if (emu_ == nullptr)
            return false;
    }
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = "pipe failed";
        return false;
    }
    collector_ = std::thread([this] { Collect(); });
    if (opt_.holdCommandWriter && !OpenCommandWriter())
        return false;
    return true;
}

bool Rig::OpenCommandWriter()
{
    // Reading and writing: the open never waits, and the FIFO keeps a writer
    // whatever the service does.
    return cmd_.IsOpen() || cmd_.Open(CommandPath(), &error_);
}

int Rig::Pending()
{
    int n = 0;
    if (!cmd_.IsOpen() || ioctl(cmd_.Fd(), FIONREAD, &n) != 0)
        return -1;
    return n;
}

void Rig::CloseCommandWriter()
{
    cmd_.Close();
}

namespace {

struct ChildLimits {
    int inheritFds;
    long fdLimit;
};

// In the child, before exec: only 0 to 2 and the descriptors asked for
// reach the service, with its limit and no blocked signals.
void SetUpChild(void *arg)
{
    const ChildLimits *c = static_cast<const ChildLimits *>(arg);
    syscall(SYS_close_range, 3U, ~0U, 0U);
    for (int i = 0; i < c->inheritFds; ++i)
        if (open("/dev/null", O_RDONLY) < 0)
            break;
    if (c->fdLimit > 0) {
        struct rlimit rl = {static_cast<rlim_t>(c->fdLimit), static_cast<rlim_t>(c->fdLimit)};
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

} // namespace

bool Rig::Start()
{
    // The fault interposer goes in front of whatever LD_PRELOAD holds.
    std::string preload = opt_.preload;
    const char *old = std::getenv("LD_PRELOAD");
    if (old != nullptr && old[0] != '\0')
        preload += (preload.empty() ? "" : ":") + std::string(old);
    kvoboard::ServiceSpec launch;
    launch.env = kvoboard::ProcessEnv({"LD_PRELOAD", "KVO_ROOT", "KVO_LOG_TARGET"});
    launch.env.push_back("KVO_ROOT=" + root_);
    launch.env.push_back("KVO_LOG_TARGET=file:" + LogPath());
    if (!preload.empty())
        launch.env.push_back("LD_PRELOAD=" + preload);
    for (const std::string &kv : opt_.env)
        launch.env.push_back(kv);
    launch.path = opt_.service;
    launch.argv = {"kvogdbt", "0", std::to_string(opt_.logLevel)};
    ChildLimits limits = {opt_.inheritFds, opt_.fdLimit};
    launch.childSetup = SetUpChild;
    launch.childArg = &limits;
    exit_ = Exit();
    return svc_.Start(launch, &error_);
}

bool Rig::SendRaw(const void *bytes, size_t len)
{
    return cmd_.Write(bytes, len, kvoboard::Deadline(5000));
}

bool Rig::Send(int mid, int cid, const unsigned char *data, size_t len)
{
    uint8_t frame[FIFO_MSG_SIZE];
    kvoboard::BuildFrame(frame, mid, cid, data, len);
    return SendRaw(frame, sizeof frame);
}

void Rig::Collect()
{
    for (;;) {
        struct pollfd pfds[P_COUNT + 1];
        {
            std::lock_guard<std::mutex> g(lock_);
            for (int p = 0; p < P_COUNT; ++p)
                pfds[p] = {paused_[p] ? -1 : peer_[p].Fd(), POLLIN, 0};
        }
        pfds[P_COUNT] = {wake_[0], POLLIN, 0};
        if (poll(pfds, P_COUNT + 1, 200) < 0 && errno != EINTR)
            return;
        if (pfds[P_COUNT].revents & POLLIN) {
            char c = 0;
            while (read(wake_[0], &c, 1) == 1) {
                if (c == 'q')
                    return;
            }
        }
        for (int p = 0; p < P_COUNT; ++p) {
            if (!(pfds[p].revents & POLLIN))
                continue;
            unsigned char buf[8192];
            ssize_t n = read(pfds[p].fd, buf, sizeof buf);
            if (n <= 0)
                continue;
            std::lock_guard<std::mutex> g(lock_);
            std::vector<unsigned char> &part = partial_[p];
            part.insert(part.end(), buf, buf + n);
            size_t off = 0;
            for (; part.size() - off >= FIFO_MSG_SIZE; off += FIFO_MSG_SIZE) {
                Frame f;
                f.mid = kvoboard::FrameId(&part[off]);
                f.cid = kvoboard::FrameId(&part[off + 3]);
                std::memcpy(f.data.data(), &part[off + 6], FIFO_MSG_DATA_SIZE);
                frames_[p].push_back(f);
            }
            part.erase(part.begin(), part.begin() + static_cast<long>(off));
            arrived_.notify_all();
        }
    }
}

std::vector<Frame> Rig::Received(Peer p)
{
    std::lock_guard<std::mutex> g(lock_);
    return frames_[p];
}

size_t Rig::Count(Peer p, int cid)
{
    std::lock_guard<std::mutex> g(lock_);
    size_t n = 0;
    for (const Frame &f : frames_[p])
        n += f.cid == cid;
    return n;
}

bool Rig::WaitCount(Peer p, int cid, size_t n, int timeoutMs)
{
    std::unique_lock<std::mutex> g(lock_);
    auto counted = [&] {
        size_t k = 0;
        for (const Frame &f : frames_[p])
            k += f.cid == cid;
        return k >= n;
    };
    return arrived_.wait_for(g, std::chrono::milliseconds(timeoutMs), counted);
}

size_t Rig::Stray(Peer p)
{
    std::lock_guard<std::mutex> g(lock_);
    return partial_[p].size();
}

void Rig::Wake()
{
    char c = 'w';
    (void)!write(wake_[1], &c, 1);
}

void Rig::StopPeer(Peer p)
{
    std::lock_guard<std::mutex> g(lock_);
    peer_[p].Close();
    Wake();
}

void Rig::PausePeer(Peer p, bool paused)
{
    std::lock_guard<std::mutex> g(lock_);
    paused_[p] = paused;
    Wake();
}

bool Rig::ResumePeer(Peer p)
{
    std::lock_guard<std::mutex> g(lock_);
    std::string why;
    bool open = peer_[p].IsOpen() || peer_[p].Open(Path(p), &why);
    Wake();
    return open;
}

void Rig::Record()
{
    if (!svc_.Ended())
        return;
    exit_.exited = svc_.Exited();
    exit_.status = svc_.ExitStatus();
    exit_.signal = svc_.Signal();
}

Exit Rig::Wait(int timeoutMs)
{
    if (!svc_.Started())
        return exit_;
    if (!svc_.Ended() && !svc_.Wait(kvoboard::Deadline(timeoutMs))) {
        exit_.killed = true;
        svc_.Kill();
    }
    Record();
    return exit_;
}

bool Rig::Running()
{
    bool running = svc_.Running();
    Record();
    return running;
}

std::vector<std::string> Rig::FdTargets()
{
    std::vector<std::string> out;
    std::string dir = "/proc/" + std::to_string(svc_.Pid()) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char target[512];
        ssize_t n = readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        out.push_back(std::string(e->d_name) + " -> " + target);
    }
    closedir(d);
    return out;
}

int Rig::FdCount()
{
    std::string dir = "/proc/" + std::to_string(svc_.Pid()) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

long Rig::VmRssKb()
{
    std::ifstream in("/proc/" + std::to_string(svc_.Pid()) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

long Rig::CpuMs()
{
    std::ifstream in("/proc/" + std::to_string(svc_.Pid()) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::vector<std::string> f;
    std::string field;
    for (size_t i = close + 2; i <= stat.size(); ++i) {
        if (i == stat.size() || stat[i] == ' ') {
            f.push_back(field);
            field.clear();
        } else {
            field += stat[i];
        }
    }
    // Fields 14 and 15 of the whole line (utime, stime) are 11 and 12 here.
    if (f.size() < 13)
        return -1;
    long ticks = std::atol(f[11].c_str()) + std::atol(f[12].c_str());
    return ticks * 1000 / sysconf(_SC_CLK_TCK);
}

std::string Rig::Log(size_t maxBytes)
{
    std::ifstream in(LogPath(), std::ios::binary);
    std::string text(maxBytes, '\0');
    in.read(&text[0], static_cast<std::streamsize>(maxBytes));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

long long Rig::LogSize()
{
    struct stat st;
    return stat(LogPath().c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

} // namespace rig
