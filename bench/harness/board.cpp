// board.cpp - building, running and removing the emulated controller for
// the benchmark harness.  The FIFOs and segments are made with the
// runtime's own calls, as the controller's other modules make them.
#include "board.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "crkeyemu.h"

namespace {

// CONFIG and OTHER, as the service reads them.
constexpr int kConfigProjId = 'c';
constexpr size_t kConfigSize = 28376;
constexpr size_t kGuardButtonOff = 27648;
constexpr size_t kAuthFlagOff = 27722;
constexpr int kOtherProjId = 'o';
constexpr size_t kOtherSize = 228;

// Every FIFO of the controller; index = KvoPathId.
constexpr KvoPathId kFifos[] = {KVO_PATH_FIFO_GDBT, KVO_PATH_FIFO_STS,  KVO_PATH_FIFO_STSP,
                                KVO_PATH_FIFO_PARE, KVO_PATH_FIFO_AUTH, KVO_PATH_FIFO_DISP,
                                KVO_PATH_FIFO_EK,   KVO_PATH_FIFO_LOG,  KVO_PATH_FIFO_FTP};

bool MakeDirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/')
            continue;
        if (mkdir(path.substr(0, i).c_str(), 0777) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

int ParseId(const char *p)
{
    char s[4] = {p[0], p[1], p[2], 0};
    return std::atoi(s);
}

bool Fail(std::string *error, const std::string &why)
{
    *error = why + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
    return false;
}

} // namespace

int64_t NowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool Board::Open(const BoardOptions &opt, std::string *error)
{
    opt_ = opt;
    const char *old = std::getenv("KVO_ROOT");
    hadRoot_ = old != nullptr;
    savedRoot_ = old != nullptr ? old : "";
    char tmpl[] = "/tmp/kvobench.XXXXXX";
    errno = 0;
    if (mkdtemp(tmpl) == nullptr)
        return Fail(error, "mkdtemp");
    root_ = tmpl;
    setenv("KVO_ROOT", root_.c_str(), 1);
    setenv("KVO_LOG_TARGET", ("file:" + LogPath()).c_str(), 1);
    if (!MakeTree(error) || !MakeSegments(error) || !HoldPeers(error))
        return false;
    if (opt_.emu) {
        emu_ = CrKeyEmuCreate(error);
        if (emu_ == nullptr)
            return false;
    }
    return true;
}

bool Board::MakeTree(std::string *error)
{
    std::string key = KvoPath(KVO_PATH_SHM_KEY);
    errno = 0;
    if (!MakeDirs(KvoPath(KVO_PATH_FIFO_DIR)) || !MakeDirs(key.substr(0, key.rfind('/'))))
        return Fail(error, "folders under " + root_);
    int fd = open(key.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return Fail(error, key);
    close(fd);
    pi_ = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
    if (pi_ == nullptr)
        return Fail(error, "calloc");
    for (KvoPathId id : kFifos) {
        if (ComFifoCreateOpen(pi_, KvoPath(id), 0) != 0)
            return Fail(error, std::string("mkfifo ") + KvoPath(id));
    }
    return true;
}

bool Board::MakeSegments(std::string *error)
{
    auto make = [this](int projId, size_t size) -> unsigned char * {
        key_t key = ComShmKey(projId);
        int id = ComShmCreat(pi_, key, size);
        if (id == -1)
            return nullptr;
        void *addr = ComShmOpenRw(pi_, key, id);
        if (addr == KVO_SHM_FAILED)
            return nullptr;
        std::memset(addr, 0, size);
        return static_cast<unsigned char *>(addr);
    };
    config_ = make(kConfigProjId, kConfigSize);
    other_ = make(kOtherProjId, kOtherSize);
    if (config_ == nullptr || other_ == nullptr)
        return Fail(error, "CONFIG and OTHER segments");
    config_[kGuardButtonOff] = opt_.holdTiming ? '1' : '0';
    // Not '0': a guard request in direct mode goes straight to FifoAuth (255).
    config_[kAuthFlagOff] = '5';
    // OTHER stays zero: direct mode (press events to FifoEk), holds not inhibited.
    return true;
}

bool Board::HoldPeers(std::string *error)
{
    for (KvoPathId id : kFifos) {
        errno = 0;
        fds_[id] = open(KvoPath(id), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fds_[id] < 0)
            return Fail(error, KvoPath(id));
    }
    return true;
}

bool Board::Start(std::string *error)
{
    std::string level = std::to_string(opt_.level);
    std::vector<std::string> args = opt_.wrap;
    args.push_back(opt_.wrap.empty() ? std::string("kvogdbt") : opt_.gdbt);
    args.push_back("52");
    args.push_back(level);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    errno = 0;
    pid_ = fork();
    if (pid_ < 0)
        return Fail(error, "fork");
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (opt_.wrap.empty())
            execv(opt_.gdbt.c_str(), argv.data());
        else
            execvp(argv[0], argv.data());
        _exit(127);
    }
    Received r;
    int64_t end = NowNs() + static_cast<int64_t>(opt_.startTimeoutMs) * 1000000;
    while (NowNs() < end) {
        if (Wait(KVO_PATH_FIFO_STSP, CMDID_WAKEUP_COMP, 100, &r))
            return std::memcmp(r.data, "000", 3) == 0 || Fail(error, "start-up report with result 1");
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            errno = 0;
            return Fail(error, "service ended at start-up, status " + std::to_string(WEXITSTATUS(st)));
        }
    }
    errno = 0;
    return Fail(error, "no start-up report");
}

int Board::Stop(int timeoutMs)
{
    if (pid_ <= 0)
        return -1;
    Command(MODID_STS, CMDID_TERMINATE, 0);
    int status = -1;
    for (int waited = 0; waited <= timeoutMs; waited += 5) {
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
            return status;
        }
        usleep(5000);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

void Board::Close()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    for (int &fd : fds_) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    if (emu_ != nullptr) {
        CrKeyEmuDestroy(emu_);
        emu_ = nullptr;
    }
    if (pi_ != nullptr) {
        for (int projId : {kConfigProjId, kOtherProjId}) {
            (void)ComShmClose(pi_, ComShmKey(projId));
            (void)ComShmRm(pi_, ComShmKey(projId));
        }
        std::free(pi_);
        pi_ = nullptr;
    }
    if (!root_.empty()) {
        if (!opt_.keepLog.empty())
            (void)rename(LogPath().c_str(), opt_.keepLog.c_str());
        (void)nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        root_.clear();
        if (hadRoot_)
            setenv("KVO_ROOT", savedRoot_.c_str(), 1);
        else
            unsetenv("KVO_ROOT");
    }
}

bool Board::Wait(KvoPathId id, int cid, int timeoutMs, Received *out)
{
    int64_t end = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    FifoMsg frame;
    for (;;) {
        ssize_t n = read(fds_[id], &frame, sizeof frame);
        if (n == static_cast<ssize_t>(sizeof frame)) {
            out->tNs = NowNs();
            out->mid = ParseId(frame.mid);
            out->cid = ParseId(frame.cid);
            std::memcpy(out->data, frame.data, sizeof out->data);
            if (out->cid == cid)
                return true;
            continue;
        }
        int64_t left = (end - NowNs()) / 1000000;
        if (left <= 0)
            return false;
        pollfd p{fds_[id], POLLIN, 0};
        poll(&p, 1, static_cast<int>(left));
    }
}

void Board::DrainAll()
{
    FifoMsg frame;
    for (KvoPathId id : kFifos) {
        if (id == KVO_PATH_FIFO_GDBT)
            continue;
        while (read(fds_[id], &frame, sizeof frame) > 0) {
        }
    }
}

bool Board::Command(int mid, int cid, unsigned char d0)
{
    FifoMsg frame;
    char ids[8];
    std::snprintf(ids, sizeof ids, "%03d%03d", mid, cid);
    std::memcpy(frame.mid, ids, 3);
    std::memcpy(frame.cid, ids + 3, 3);
    std::memset(frame.data, ' ', sizeof frame.data);
    frame.data[0] = static_cast<char>(d0);
    for (;;) {
        ssize_t n = write(fds_[KVO_PATH_FIFO_GDBT], &frame, sizeof frame);
        if (n == static_cast<ssize_t>(sizeof frame))
            return true;
        if (n >= 0 || errno != EAGAIN)
            return false;
        pollfd p{fds_[KVO_PATH_FIFO_GDBT], POLLOUT, 0};
        poll(&p, 1, 1000);
    }
}

Load::Load(int n)
{
    for (int i = 0; i < n; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            volatile unsigned long spin = 0;
            for (;;)
                spin = spin + 1;
        }
        if (pid > 0)
            pids_.push_back(pid);
    }
}

void Load::Stop()
{
    for (pid_t pid : pids_) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pids_.clear();
}
