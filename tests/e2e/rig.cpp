// rig.cpp - see rig.h. The rig plays every peer the way those modules do:
// each peer FIFO is held open for reading and writing without blocking (so
// the service's sends never wait), command frames are written whole into
// FifoGdbt, and the segments are created and filled with the runtime's own
// functions.
#include "rig.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr KvoPathId kPeerFifos[] = {KVO_PATH_FIFO_STS,  KVO_PATH_FIFO_STSP, KVO_PATH_FIFO_PARE,
                                    KVO_PATH_FIFO_AUTH, KVO_PATH_FIFO_DISP, KVO_PATH_FIFO_EK,
                                    KVO_PATH_FIFO_LOG,  KVO_PATH_FIFO_FTP};

int MsLeft(Clock::time_point end)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string StripNewline(const std::string &text)
{
    return !text.empty() && text.back() == '\n' ? text.substr(0, text.size() - 1) : text;
}

bool PriMatches(const LogRec &r, int pri)
{
    return pri < 0 || (r.pri & 7) == pri;
}

// "<PRI>IDENT[PID]: TEXT"; false for anything else.
bool ParseLine(const std::string &line, LogRec *rec)
{
    int pri = 0, pid = 0, used = 0;
    char ident[64];
    if (std::sscanf(line.c_str(), "<%d>%63[^[][%d]: %n", &pri, ident, &pid, &used) != 3 || used == 0)
        return false;
    if (std::strcmp(ident, "KVOGDBT") != 0)
        return false;
    rec->pri = pri;
    rec->pid = pid;
    rec->text = line.substr(static_cast<size_t>(used));
    return true;
}

} // namespace

const char *ServiceBinary()
{
    const char *bin = std::getenv("KVO_E2E_SERVICE");
    return bin != nullptr && bin[0] != '\0' ? bin : KVO_GDBT_BIN;
}

std::string Data(std::initializer_list<int> head)
{
    std::string s(FIFO_MSG_DATA_SIZE, ' ');
    size_t i = 0;
    for (int b : head)
        s[i++] = static_cast<char>(b);
    return s;
}

std::string Data(const std::string &head)
{
    std::string s(FIFO_MSG_DATA_SIZE, ' ');
    s.replace(0, head.size(), head);
    return s;
}

std::string Describe(const Frame &frame)
{
    char head[64];
    std::snprintf(head, sizeof head, "%03d/%03d [", frame.mid, frame.cid);
    std::string out = head;
    for (size_t i = 0; i < frame.data.size() && i < 20; ++i) {
        std::snprintf(head, sizeof head, i == 0 ? "%02x" : " %02x", static_cast<unsigned char>(frame.data[i]));
        out += head;
    }
    return out + (frame.data.size() > 20 ? " ...]" : "]");
}

const char *PeerName(KvoPathId fifo)
{
    return KvoBasePath(fifo);
}

Rig::Rig(RigOptions options)
{
    logPath_ = root_.Dir() + "/gdbt.log";
    if (!root_.MakeAllFifos()) {
        Fail("FIFOs not created");
        return;
    }
    if (!PickKeyFile() || !MakeSegments(options.makeOther))
        return;
    SetGuardButton('1');
    SetAuthFlag('0');
    SetParentMode(0);
    SetHoldInhibit(0);

    for (KvoPathId id : kPeerFifos) {
        int fd = open(KvoPath(id), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            Fail(std::string("peer FIFO ") + KvoPath(id) + ": " + std::strerror(errno));
            return;
        }
        peers_[id] = fd;
    }
    // A writer from the start: the service's blocking open of its command
    // FIFO returns once one exists.
    if (!OpenCommandWriter())
        return;
    if (!options.emulate)
        return;
    std::string why;
    emu_ = CrKeyEmuCreate(&why);
    if (emu_ == nullptr)
        Fail("device emulation: " + why);
}

Rig::~Rig()
{
    Stop();
    if (emu_ != nullptr)
        CrKeyEmuDestroy(emu_);
    CloseCommandWriter();
    for (auto &p : peers_)
        close(p.second);
    if (config_ != nullptr)
        ComShmClose(&info_, configKey_);
    if (other_ != nullptr)
        ComShmClose(&info_, otherKey_);
    if (info_.uShmIdRecorded != 0) {
        ComShmRm(&info_, configKey_);
        ComShmRm(&info_, otherKey_);
    }
}

bool Rig::Fail(const std::string &why)
{
    if (error_.empty())
        error_ = why;
    return false;
}

// ftok keeps only part of the key file's inode, so two roots can yield the
// same keys. Renew the key file until no segment has its keys.
bool Rig::PickKeyFile()
{
    const char *keyFile = KvoPath(KVO_PATH_SHM_KEY);
    for (int attempt = 0; attempt < 50; ++attempt) {
        configKey_ = ComShmKey('c');
        otherKey_ = ComShmKey('o');
        if (configKey_ == -1 || otherKey_ == -1)
            return Fail(std::string("ftok of ") + keyFile + ": " + std::strerror(errno));
        if (shmget(configKey_, 0, 0) == -1 && errno == ENOENT && shmget(otherKey_, 0, 0) == -1 && errno == ENOENT)
            return true;
        // Keep the old inode alive while the new file is made, so it differs.
        std::string aside = std::string(keyFile) + ".old" + std::to_string(attempt);
        if (rename(keyFile, aside.c_str()) != 0)
            return Fail("key file not renewed");
        int fd = open(keyFile, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            return Fail("key file not created");
        close(fd);
    }
    return Fail("no free segment keys");
}

bool Rig::MakeSegments(bool makeOther)
{
    int configId = ComShmCreat(&info_, configKey_, kConfigSize);
    if (configId == -1)
        return Fail("CONFIG segment not created");
    void *p = ComShmOpenRw(&info_, configKey_, configId);
    if (p == KVO_SHM_FAILED)
        return Fail("CONFIG segment not attached");
    config_ = static_cast<unsigned char *>(p);
    if (!makeOther)
        return true;
    int otherId = ComShmCreat(&info_, otherKey_, kOtherSize);
    if (otherId == -1)
        return Fail("OTHER segment not created");
    p = ComShmOpenRw(&info_, otherKey_, otherId);
    if (p == KVO_SHM_FAILED)
        return Fail("OTHER segment not attached");
    other_ = static_cast<unsigned char *>(p);
    return true;
}

void Rig::SetGuardButton(char c)
{
    if (config_ != nullptr)
        config_[kGuardButtonOff] = static_cast<unsigned char>(c);
}

void Rig::SetAuthFlag(char c)
{
    if (config_ != nullptr)
        config_[kAuthFlagOff] = static_cast<unsigned char>(c);
}

void Rig::SetParentMode(int32_t v)
{
    if (other_ != nullptr)
        std::memcpy(other_ + kParentModeOff, &v, sizeof v);
}

void Rig::SetHoldInhibit(uint8_t v)
{
    if (other_ != nullptr)
        other_[kHoldInhibitOff] = v;
}

bool Rig::Start(const char *level, bool logToFile)
{
    std::vector<std::string> args = {ServiceBinary(), "52"};
    if (level != nullptr)
        args.emplace_back(level);
    return StartCommand(args, logToFile);
}

bool Rig::StartCommand(std::vector<std::string> args, bool logToFile)
{
    if (!error_.empty() || pid_ > 0 || args.empty())
        return false;
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "KVO_LOG_TARGET=", 15) != 0)
            env.emplace_back(*e);
    if (logToFile)
        env.push_back("KVO_LOG_TARGET=file:" + logPath_);
    // Built before the fork: the child only execs.
    std::vector<char *> argv, envp;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid_ > 0;
}

bool Rig::StartAndWait(std::string *result, const char *level)
{
    if (!Start(level))
        return false;
    Frame f;
    if (!WaitFrame(KVO_PATH_FIFO_STSP, &f) || f.mid != 52 || f.cid != 600)
        return false;
    if (result != nullptr)
        *result = f.data.substr(0, 3);
    return true;
}

int Rig::WaitExit(int timeoutMs)
{
    if (pid_ <= 0)
        return -1;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (MsLeft(end) > 0);
    return -1;
}

void Rig::Stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

double Rig::CpuSeconds() const
{
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')'); // the name may hold spaces
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    // Fields after the name start at 3 (state); utime is 14, stime 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool Rig::Send(int mid, int cid, const std::string &data)
{
    char frame[FIFO_MSG_SIZE + 1];
    std::snprintf(frame, sizeof frame, "%03d%03d", mid, cid);
    std::string d = Data(data.substr(0, FIFO_MSG_DATA_SIZE));
    std::memcpy(frame + 6, d.data(), FIFO_MSG_DATA_SIZE);
    return commandFd_ >= 0 && write(commandFd_, frame, FIFO_MSG_SIZE) == FIFO_MSG_SIZE;
}

void Rig::CloseCommandWriter()
{
    if (commandFd_ >= 0)
        close(commandFd_);
    commandFd_ = -1;
}

// Read and write: a writer that never blocks on open, and never reads.
bool Rig::OpenCommandWriter()
{
    CloseCommandWriter();
    commandFd_ = open(KvoPath(KVO_PATH_FIFO_GDBT), O_RDWR | O_CLOEXEC);
    return commandFd_ >= 0 || Fail(std::string("FifoGdbt: ") + std::strerror(errno));
}

// One frame if one is there; 256 bytes at a time, as a receiver reads.
bool Rig::ReadFrame(int fd, Frame *frame)
{
    char buf[FIFO_MSG_SIZE];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    if (n != FIFO_MSG_SIZE) { // frames are written whole; anything else is a fault
        frame->mid = frame->cid = -1;
        frame->data.assign(buf, static_cast<size_t>(n));
        return true;
    }
    char id[4] = {};
    std::memcpy(id, buf, 3);
    frame->mid = std::atoi(id);
    std::memcpy(id, buf + 3, 3);
    frame->cid = std::atoi(id);
    frame->data.assign(buf + 6, FIFO_MSG_DATA_SIZE);
    return true;
}

bool Rig::WaitFrame(KvoPathId fifo, Frame *frame, int timeoutMs)
{
    auto it = peers_.find(fifo);
    if (it == peers_.end())
        return false;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (ReadFrame(it->second, frame))
            return true;
        pollfd p{it->second, POLLIN, 0};
        int left = MsLeft(end);
        if (left == 0 || poll(&p, 1, left) <= 0)
            return false;
    }
}

std::vector<Frame> Rig::FramesWithin(KvoPathId fifo, int ms)
{
    std::vector<Frame> frames;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    Frame f;
    while (WaitFrame(fifo, &f, MsLeft(end)))
        frames.push_back(f);
    return frames;
}

std::vector<PeerFrame> Rig::AnyFrames(int ms)
{
    std::vector<PeerFrame> frames;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        std::vector<pollfd> fds;
        for (const auto &p : peers_) {
            Frame f;
            while (ReadFrame(p.second, &f))
                frames.push_back({p.first, f});
            fds.push_back({p.second, POLLIN, 0});
        }
        int left = MsLeft(end);
        if (left == 0)
            return frames;
        poll(fds.data(), fds.size(), left);
    }
}

std::vector<LogRec> Rig::Log() const
{
    std::vector<LogRec> recs;
    std::ifstream in(logPath_);
    for (std::string line; std::getline(in, line);) {
        LogRec r;
        if (!ParseLine(line, &r))
            r.text = "(unparsed) " + line;
        recs.push_back(r);
    }
    return recs;
}

int Rig::CountLog(const std::string &text, int pri) const
{
    std::string want = StripNewline(text);
    int n = 0;
    for (const auto &r : Log())
        n += r.text == want && PriMatches(r, pri) ? 1 : 0;
    return n;
}

int Rig::CountLogPrefix(const std::string &prefix, int pri) const
{
    int n = 0;
    for (const auto &r : Log())
        n += r.text.rfind(prefix, 0) == 0 && PriMatches(r, pri) ? 1 : 0;
    return n;
}

bool Rig::WaitLog(const std::string &text, int pri, int timeoutMs) const
{
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (CountLog(text, pri) > 0)
            return true;
        if (MsLeft(end) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string Rig::LogDump() const
{
    std::string out = "service log:\n";
    for (const auto &r : Log())
        out += "  <" + std::to_string(r.pri) + "> " + r.text + "\n";
    return out;
}

bool Rig::WaitPolls(unsigned n, int timeoutMs)
{
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Stats().getStsCalls < n) {
        if (MsLeft(end) == 0)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
