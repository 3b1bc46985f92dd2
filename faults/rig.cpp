// rig.cpp - the hardening rig (see rig.h).
#include "rig.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>
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

extern char **environ;

namespace rig {

namespace {

const char *const kPeerFile[P_COUNT] = {"FifoSts",  "FifoStsp", "FifoPare", "FifoAuth",
                                        "FifoDisp", "FifoEk",   "FifoLog",  "FifoFtp"};
const char *const kPeerNames[P_COUNT] = {"Sts", "Stsp", "Pare", "Auth", "Disp", "Ek", "Log", "Ftp"};

constexpr size_t kConfigSize = 28376, kOtherSize = 228;
constexpr size_t kGuardButtonOff = 27648, kAuthFlagOff = 27722;
constexpr size_t kParentModeOff = 4, kHoldInhibitOff = 189;

void MakeDirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            mkdir(path.substr(0, i).c_str(), 0777);
}

int Atoi3(const unsigned char *p)
{
    char s[4] = {static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[2]), 0};
    return std::atoi(s);
}

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

Rig::Rig(const Options &opt) : opt_(opt)
{
    for (int &fd : peer_)
        fd = -1;
}

Rig::~Rig()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        (void)Wait(5000);
    }
    if (collector_.joinable()) {
        char stop = 'q';
        (void)!write(wake_[1], &stop, 1);
        collector_.join();
    }
    for (int &fd : peer_)
        if (fd >= 0)
            close(fd);
    for (int fd : wake_)
        if (fd >= 0)
            close(fd);
    CloseCommandWriter();
    RemoveSegments();
    if (emu_ != nullptr)
        CrKeyEmuDestroy(emu_);
    if (!root_.empty() && root_.rfind("/tmp/kvohard.", 0) == 0 && std::getenv("KVO_RIG_KEEP") == nullptr) {
        std::string cmd = "rm -rf '" + root_ + "'";
        (void)!std::system(cmd.c_str());
    }
}

std::string Rig::Path(Peer p) const { return root_ + "/tmp/pipe/" + kPeerFile[p]; }
std::string Rig::CommandPath() const { return root_ + "/tmp/pipe/FifoGdbt"; }

bool Rig::MakeSegments()
{
    std::string keyFile = root_ + "/usr/local/jx/ap/sys/shm-key";
    struct Seg {
        int proj;
        size_t size;
    } segs[2] = {{'c', kConfigSize}, {'o', kOtherSize}};
    for (int i = 0; i < 2; ++i) {
        key_t key = ftok(keyFile.c_str(), segs[i].proj);
        shmIds_[i] = shmget(key, segs[i].size, IPC_CREAT | IPC_EXCL | 0666);
        if (shmIds_[i] < 0) {
            error_ = std::string("shmget: ") + std::strerror(errno);
            return false;
        }
        auto *p = static_cast<unsigned char *>(shmat(shmIds_[i], nullptr, 0));
        if (p == reinterpret_cast<unsigned char *>(-1)) {
            error_ = std::string("shmat: ") + std::strerror(errno);
            return false;
        }
        if (i == 0) {
            std::memset(p, '0', segs[i].size);
            p[kGuardButtonOff] = static_cast<unsigned char>(opt_.guardButton);
            p[kAuthFlagOff] = static_cast<unsigned char>(opt_.authFlag);
        } else {
            std::memset(p, 0, segs[i].size);
            std::memcpy(p + kParentModeOff, &opt_.parentMode, sizeof opt_.parentMode);
            p[kHoldInhibitOff] = opt_.holdInhibit;
        }
        shmdt(p);
    }
    return true;
}

void Rig::RemoveSegments()
{
    for (int &id : shmIds_) {
        if (id >= 0)
            shmctl(id, IPC_RMID, nullptr);
        id = -1;
    }
}

bool Rig::Prepare()
{
    char tmpl[] = "/tmp/kvohard.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        error_ = "mkdtemp failed";
        return false;
    }
    root_ = tmpl;
    chmod(root_.c_str(), 0755);
    MakeDirs(root_ + "/tmp/pipe");
    MakeDirs(root_ + "/usr/local/jx/ap/sys");
    int kf = open((root_ + "/usr/local/jx/ap/sys/shm-key").c_str(), O_WRONLY | O_CREAT, 0644);
    if (kf >= 0)
        close(kf);
    if (mkfifo(CommandPath().c_str(), 0666) != 0) {
        error_ = "mkfifo FifoGdbt failed";
        return false;
    }
    for (int p = 0; p < P_COUNT; ++p) {
        if (mkfifo(Path(static_cast<Peer>(p)).c_str(), 0666) != 0) {
            error_ = "mkfifo failed";
            return false;
        }
        peer_[p] = open(Path(static_cast<Peer>(p)).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
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
    if (cmdFd_ >= 0)
        return true;
    // Reading and writing: the open never waits, and the FIFO keeps a writer
    // whatever the service does.
    cmdFd_ = open(CommandPath().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (cmdFd_ < 0)
        error_ = std::string("open FifoGdbt: ") + std::strerror(errno);
    return cmdFd_ >= 0;
}

int Rig::Pending()
{
    int n = 0;
    if (cmdFd_ < 0 || ioctl(cmdFd_, FIONREAD, &n) != 0)
        return -1;
    return n;
}

void Rig::CloseCommandWriter()
{
    if (cmdFd_ >= 0)
        close(cmdFd_);
    cmdFd_ = -1;
}

bool Rig::Start()
{
    // Everything the child needs is built here: after fork only
    // async-signal-safe calls are allowed (the rig has threads).
    std::vector<std::string> env;
    std::string preload = opt_.preload;
    for (char **e = environ; *e != nullptr; ++e) {
        std::string kv = *e;
        if (kv.rfind("LD_PRELOAD=", 0) == 0) {
            std::string rest = kv.substr(11);
            if (!rest.empty())
                preload += (preload.empty() ? "" : ":") + rest;
            continue;
        }
        if (kv.rfind("KVO_ROOT=", 0) == 0 || kv.rfind("KVO_LOG_TARGET=", 0) == 0)
            continue;
        env.push_back(kv);
    }
    env.push_back("KVO_ROOT=" + root_);
    env.push_back("KVO_LOG_TARGET=file:" + LogPath());
    if (!preload.empty())
        env.push_back("LD_PRELOAD=" + preload);
    for (const std::string &kv : opt_.env)
        env.push_back(kv);
    std::vector<char *> envp;
    for (std::string &kv : env)
        envp.push_back(&kv[0]);
    envp.push_back(nullptr);
    std::string level = std::to_string(opt_.logLevel);
    std::string name = "kvogdbt", zero = "0";
    char *argv[] = {&name[0], &zero[0], &level[0], nullptr};
    const char *path = opt_.service.c_str();
    const int inherit = opt_.inheritFds;
    const long limit = opt_.fdLimit;

    pid_ = fork();
    if (pid_ < 0) {
        error_ = "fork failed";
        return false;
    }
    if (pid_ == 0) {
        // Only 0 to 2 and the descriptors asked for reach the service.
        syscall(SYS_close_range, 3U, ~0U, 0U);
        for (int i = 0; i < inherit; ++i)
            if (open("/dev/null", O_RDONLY) < 0)
                break;
        if (limit > 0) {
            struct rlimit rl = {static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(path, argv, envp.data());
        _exit(127);
    }
    reaped_ = false;
    return true;
}

bool Rig::SendRaw(const void *bytes, size_t len)
{
    if (cmdFd_ < 0)
        return false;
    long long deadline = NowMs() + 5000;
    for (;;) {
        ssize_t n = write(cmdFd_, bytes, len);
        if (n == static_cast<ssize_t>(len))
            return true;
        if (n >= 0 || (errno != EAGAIN && errno != EINTR) || NowMs() > deadline)
            return false;
        struct pollfd pfd = {cmdFd_, POLLOUT, 0};
        poll(&pfd, 1, 50);
    }
}

bool Rig::Send(int mid, int cid, const unsigned char *data, size_t len)
{
    unsigned char frame[FIFO_MSG_SIZE];
    std::memset(frame, ' ', sizeof frame);
    char ids[8];
    std::snprintf(ids, sizeof ids, "%03d%03d", mid, cid);
    std::memcpy(frame, ids, 6);
    if (data != nullptr)
        std::memcpy(frame + 6, data, len < size_t{FIFO_MSG_DATA_SIZE} ? len : size_t{FIFO_MSG_DATA_SIZE});
    return SendRaw(frame, sizeof frame);
}

void Rig::Collect()
{
    for (;;) {
        struct pollfd pfds[P_COUNT + 1];
        {
            std::lock_guard<std::mutex> g(lock_);
            for (int p = 0; p < P_COUNT; ++p)
                pfds[p] = {paused_[p] ? -1 : peer_[p], POLLIN, 0};
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
                f.mid = Atoi3(&part[off]);
                f.cid = Atoi3(&part[off + 3]);
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

void Rig::StopPeer(Peer p)
{
    std::lock_guard<std::mutex> g(lock_);
    if (peer_[p] >= 0)
        close(peer_[p]);
    peer_[p] = -1;
    char c = 'w';
    (void)!write(wake_[1], &c, 1);
}

void Rig::PausePeer(Peer p, bool paused)
{
    std::lock_guard<std::mutex> g(lock_);
    paused_[p] = paused;
    char c = 'w';
    (void)!write(wake_[1], &c, 1);
}

bool Rig::ResumePeer(Peer p)
{
    std::lock_guard<std::mutex> g(lock_);
    if (peer_[p] < 0)
        peer_[p] = open(Path(p).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    char c = 'w';
    (void)!write(wake_[1], &c, 1);
    return peer_[p] >= 0;
}

Exit Rig::Wait(int timeoutMs)
{
    if (reaped_ || pid_ <= 0)
        return exit_;
    long long deadline = NowMs() + timeoutMs;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            break;
        if (r < 0) {
            reaped_ = true;
            return exit_;
        }
        if (NowMs() > deadline) {
            exit_.killed = true;
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        SleepMs(5);
    }
    reaped_ = true;
    exit_.exited = WIFEXITED(status);
    exit_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    exit_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return exit_;
}

bool Rig::Running()
{
    if (reaped_ || pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == 0)
        return true;
    if (r == pid_) {
        reaped_ = true;
        exit_.exited = WIFEXITED(status);
        exit_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        exit_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return false;
}

std::vector<std::string> Rig::FdTargets()
{
    std::vector<std::string> out;
    std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
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
    std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
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
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

long Rig::CpuMs()
{
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
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
