// board.cpp - the emulated controller for the benchmark harness: the shared
// board (root, segments, peer FIFOs, service process) plus the device
// emulation and the benchmark's own settings.
#include "board.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "crkeyemu.h"
#include "kvomessaging.h"
#include "kvosegments.h"

namespace {

// Every FIFO of the controller; index = KvoPathId.
constexpr KvoPathId kFifos[] = {KVO_PATH_FIFO_GDBT, KVO_PATH_FIFO_STS,  KVO_PATH_FIFO_STSP,
                                KVO_PATH_FIFO_PARE, KVO_PATH_FIFO_AUTH, KVO_PATH_FIFO_DISP,
                                KVO_PATH_FIFO_EK,   KVO_PATH_FIFO_LOG,  KVO_PATH_FIFO_FTP};

bool Fail(std::string *error, const std::string &why)
{
    *error = why;
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
    if (!board_.Create("/tmp/kvobench.XXXXXX", "", error))
        return false;
    root_ = board_.Dir();
    board_.Export();
    setenv("KVO_LOG_TARGET", ("file:" + LogPath()).c_str(), 1);
    if (!board_.MakeFifos(error) || !segments_.Create(board_, true, error))
        return false;
    segments_.SetByte(kvoboard::kConfig, KVO_CONFIG_GUARD_BUTTON_OFF, opt_.holdTiming ? '1' : '0');
    // Not '0': a guard request in direct mode goes straight to FifoAuth (255).
    segments_.SetByte(kvoboard::kConfig, KVO_CONFIG_AUTH_FLAG_OFF, '5');
    // OTHER stays zero: direct mode (press events to FifoEk), holds not inhibited.
    for (KvoPathId id : kFifos)
        if (!fifos_[id].Open(board_.Path(id), error))
            return false;
    if (opt_.emu) {
        emu_ = CrKeyEmuCreate(error);
        if (emu_ == nullptr)
            return false;
    }
    return true;
}

bool Board::Start(std::string *error)
{
    kvoboard::ServiceSpec launch;
    launch.argv = opt_.wrap;
    launch.argv.push_back(opt_.wrap.empty() ? std::string("kvogdbt") : opt_.gdbt);
    launch.argv.push_back("52");
    launch.argv.push_back(std::to_string(opt_.level));
    launch.path = opt_.wrap.empty() ? opt_.gdbt : opt_.wrap[0];
    launch.searchPath = !opt_.wrap.empty();
    launch.dieWithParent = true;
    if (!svc_.Start(launch, error))
        return false;
    Received r;
    int64_t end = NowNs() + static_cast<int64_t>(opt_.startTimeoutMs) * 1000000;
    while (NowNs() < end) {
        if (Wait(KVO_PATH_FIFO_STSP, CMDID_WAKEUP_COMP, 100, &r))
            return std::memcmp(r.data, "000", 3) == 0 || Fail(error, "start-up report with result 1");
        if (!svc_.Running())
            return Fail(error, "service ended at start-up, status " + std::to_string(svc_.Code()));
    }
    return Fail(error, "no start-up report");
}

int Board::Stop(int timeoutMs)
{
    if (Pid() <= 0)
        return -1;
    Command(MODID_STS, CMDID_TERMINATE, 0);
    if (svc_.Wait(kvoboard::Deadline(timeoutMs)))
        return svc_.Code();
    svc_.Kill();
    return -1;
}

void Board::Close()
{
    svc_.Kill();
    for (auto &fifo : fifos_)
        fifo.Close();
    if (emu_ != nullptr) {
        CrKeyEmuDestroy(emu_);
        emu_ = nullptr;
    }
    segments_.Remove();
    if (!root_.empty()) {
        if (!opt_.keepLog.empty())
            (void)rename(LogPath().c_str(), opt_.keepLog.c_str());
        board_.Remove();
        root_.clear();
    }
}

bool Board::Wait(KvoPathId id, int cid, int timeoutMs, Received *out)
{
    kvoboard::Deadline deadline(timeoutMs);
    uint8_t frame[FIFO_MSG_SIZE];
    for (;;) {
        size_t n = fifos_[id].ReadFrame(frame, deadline);
        if (n == 0)
            return false;
        if (n != sizeof frame)
            continue;
        out->tNs = NowNs();
        out->mid = kvoboard::FrameId(frame);
        out->cid = kvoboard::FrameId(frame + 3);
        std::memcpy(out->data, frame + 6, sizeof out->data);
        if (out->cid == cid)
            return true;
    }
}

void Board::DrainAll()
{
    uint8_t frame[FIFO_MSG_SIZE];
    for (KvoPathId id : kFifos) {
        if (id == KVO_PATH_FIFO_GDBT)
            continue;
        while (fifos_[id].ReadFrame(frame, kvoboard::Deadline::Now()) > 0) {
        }
    }
}

bool Board::Command(int mid, int cid, unsigned char d0)
{
    uint8_t frame[FIFO_MSG_SIZE];
    kvoboard::BuildFrame(frame, mid, cid, &d0, 1);
    // Generous: the service reads its FIFO all the time it runs.
    return fifos_[KVO_PATH_FIFO_GDBT].Write(frame, sizeof frame, kvoboard::Deadline(60000));
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
