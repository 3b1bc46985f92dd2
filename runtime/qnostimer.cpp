// qnostimer.cpp - the interval timers of a module process: up to ten slots,
// each a POSIX timer that raises SIGUSR1 with the value 100 + slot, paired
// with a pipe of its own.  The signal handler (qnossig) writes one byte into
// the slot's pipe; the multiplexer (qnosselect) watches the read end and calls
// the slot's handler in the main loop.  Callers name a slot by its handle,
// the pipe's write end.
#include "kvoruntime.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

const int timerSigIdTbl[KVO_TIMER_MAX] = {100, 101, 102, 103, 104, 105, 106, 107, 108, 109};

// Filled before each timer_create; its other members stay zero.
static struct sigevent event;

namespace {

constexpr int32_t kNsecPerMsec = 1000000;
constexpr int64_t kNsecPerSec = 1000000000;

int TimerCount(const ProcInfo *pProcInfo)
{
    int n = pProcInfo->iTimerCount;
    return n < 0 ? 0 : (n > KVO_TIMER_MAX ? KVO_TIMER_MAX : n);
}

// The slot whose write end is the handle, or -1.
int FindSlot(const ProcInfo *pProcInfo, int iTimerDes)
{
    for (int i = 0; i < TimerCount(pProcInfo); ++i) {
        if (pProcInfo->TimerCntInfo[i].iTimerSelectDes[1] == iTimerDes)
            return i;
    }
    return -1;
}

int FindSlotOrLog(const ProcInfo *pProcInfo, int iTimerDes)
{
    int slot = FindSlot(pProcInfo, iTimerDes);
    if (slot < 0)
        ComLog(LOG_INFO, "error of TimerDescriptor(%d)\n", iTimerDes);
    return slot;
}

// Signed 32-bit, truncating: a negative time yields a negative tv_nsec, which
// timer_settime refuses when the slot is armed.
struct timespec MsecToTimespec(int32_t iMsec)
{
    struct timespec ts = {};
    ts.tv_sec = iMsec > 999 ? iMsec / 1000 : 0;
    ts.tv_nsec = (iMsec % 1000) * kNsecPerMsec;
    return ts;
}

struct itimerspec BuildArming(int iMode, int iMsec)
{
    struct itimerspec itval = {};
    itval.it_value = MsecToTimespec(iMsec);
    if (iMode == KVO_TIMER_PERIODIC)
        itval.it_interval = itval.it_value;
    return itval;
}

void TraceArming(const ProcInfo *pProcInfo, int slot)
{
    const struct itimerspec &v = pProcInfo->TimerCntInfo[slot].itval;
    ComLog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].itval.it_value.tv_sec = %d\n", slot,
           static_cast<int>(v.it_value.tv_sec));
    ComLog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].itval.it_value.tv_nsec = %d\n", slot,
           static_cast<int>(v.it_value.tv_nsec));
    ComLog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].itval.it_interval.tv_sec = %d\n", slot,
           static_cast<int>(v.it_interval.tv_sec));
    ComLog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].itval.it_interval.tv_nsec = %d\n", slot,
           static_cast<int>(v.it_interval.tv_nsec));
}

// An expiry whose signal is still pending belongs to the arming that is
// being replaced or cancelled: it came while a handler ran, when every signal
// is blocked.  Delivered after a restart it would serve the slot early (a
// hold poll ahead of time).  Recent kernels drop such signals themselves,
// older ones deliver them, so take them out here.  A pending SIGUSR1 for any
// other slot is passed on exactly as the signal handler would have.  While
// SIGUSR1 is not blocked nothing can be pending, and the call returns at once.
void DropPendingExpiry(int slot)
{
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    const struct timespec zero = {0, 0};
    siginfo_t info;
    int saved = errno;
    while (sigtimedwait(&usr1, &info, &zero) == SIGUSR1) {
        if (info.si_value.sival_int == timerSigIdTbl[slot]) {
            ComLog(LOG_DEBUG, "stale expiry dropped(%d)\n", timerSigIdTbl[slot]);
            continue;
        }
        SigAlrmHandler(SIGUSR1, &info, nullptr);
    }
    errno = saved;
}

// Arms the slot's POSIX timer with its stored itval, relative to now.
int ArmSlot(ProcInfo *pProcInfo, int slot)
{
    TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[slot];
    TraceArming(pProcInfo, slot);
    DropPendingExpiry(slot);
    errno = 0;
    if (timer_settime(pSlot->timerId, 0, &pSlot->itval, nullptr) != 0) {
        ComLog(LOG_INFO, "error of timer_settime(errno=%d)\n", errno);
        return -1;
    }
    pSlot->iTimerCreate = 0;
    pSlot->iTimerState = 1;
    return 0;
}

int CreatePosixTimer(ProcInfo *pProcInfo, int slot)
{
    TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[slot];
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGUSR1;
    event.sigev_value.sival_int = timerSigIdTbl[slot];
    pSlot->iTimerSigId = timerSigIdTbl[slot];
    errno = 0;
    if (timer_create(CLOCK_REALTIME, &event, &pSlot->timerId) != 0) {
        ComLog(LOG_INFO, "error of timer_create(errno=%d)\n", errno);
        ComLog(LOG_INFO, "timer_id = %d\n", static_cast<int>(reinterpret_cast<intptr_t>(pSlot->timerId)));
        return -1;
    }
    ComLog(LOG_DEBUG, "timer_id = %d\n", static_cast<int>(reinterpret_cast<intptr_t>(pSlot->timerId)));
    return 0;
}

// Pipe ends are close-on-exec so that children started by the runtime do
// not inherit them, and both must fit a descriptor set: the read end is
// watched, and the write end is the handle callers compare.
int OpenSlotPipe(TimerCntInfo_t *pSlot)
{
    int fds[2];
    errno = 0;
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ComLog(LOG_INFO, "error of pipe(errno=%d)\n", errno);
        return -1;
    }
    for (int fd : fds) {
        if (!ComSelectFdFits(fd)) {
            ComLog(LOG_INFO, "error of descriptor(%d)\n", fd);
            close(fds[0]);
            close(fds[1]);
            return -1;
        }
    }
    pSlot->iTimerSelectDes[0] = fds[0];
    pSlot->iTimerSelectDes[1] = fds[1];
    return 0;
}

int CloseSlotPipe(ProcInfo *pProcInfo, TimerCntInfo_t *pSlot)
{
    int rd = pSlot->iTimerSelectDes[0];
    errno = 0;
    if (close(rd) != 0) {
        ComLog(LOG_INFO, "pipeReadClose failed(iTimerSelectDes=%d, errno=%d)\n", rd, errno);
        return -1;
    }
    errno = 0;
    if (close(pSlot->iTimerSelectDes[1]) != 0) {
        ComLog(LOG_INFO, "pipeWriteClose failed(iTimerSelectDes=%d, errno=%d)\n",
               pSlot->iTimerSelectDes[1], errno);
        return -1;
    }
    if (ComSelectFdFits(rd)) {
        FD_CLR(rd, &pProcInfo->stReadFds);
        FD_CLR(rd, &pProcInfo->stSelectFds);
    }
    return 0;
}

} // namespace

extern "C" int ComTimerSet(ProcInfo *pProcInfo, int iMode, int iMsec, SelectProc pTimeUpProc)
{
    ComLog(LOG_DEBUG, "start of ComTimerSet()\n");
    int slot = pProcInfo->iTimerCount;
    if (slot > KVO_TIMER_MAX - 1 || slot < 0) {
        ComLog(LOG_INFO, "error of timerMaxOver\n");
        return -1;
    }
    TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[slot];
    pSlot->iTimerMode = iMode;
    pSlot->iTimerMsec = iMsec;
    pSlot->pTimeUpProc = pTimeUpProc;
    if (OpenSlotPipe(pSlot) != 0)
        return -1;
    pProcInfo->iTimerSelectDes[slot] = pSlot->iTimerSelectDes[0];
    pProcInfo->pTimerSelectProc[slot] = pTimeUpProc;
    if (ComSelectTimerInit(pProcInfo) != 0) {
        // Not reached with a checked pipe; kept so a slot is never half-used.
        close(pSlot->iTimerSelectDes[0]);
        close(pSlot->iTimerSelectDes[1]);
        pSlot->iTimerSelectDes[0] = pSlot->iTimerSelectDes[1] = 0;
        pProcInfo->iTimerSelectDes[slot] = 0;
        return -1;
    }
    pSlot->iTimerCreate = 1;
    pProcInfo->iTimerCount = slot + 1;
    ComLog(LOG_DEBUG, "end of ComTimerSet()\n");
    return pSlot->iTimerSelectDes[1];
}

extern "C" int ComTimerStart(ProcInfo *pProcInfo, int iTimerDes)
{
    ComLog(LOG_DEBUG, "start of ComTimerStart()\n");
    int slot = FindSlotOrLog(pProcInfo, iTimerDes);
    if (slot < 0)
        return -1;
    TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[slot];
    if (pSlot->iTimerCreate == 0) {
        // The POSIX timer exists: re-arm it from the full time.
        if (ComTimeUpTimerStart(pProcInfo, iTimerDes, 0) != 0) {
            ComLog(LOG_INFO, "error of ComTimeUpTimerStart()\n");
            return -1;
        }
        ComLog(LOG_DEBUG, "end of ComTimerStart()\n");
        return 0;
    }
    if (CreatePosixTimer(pProcInfo, slot) != 0)
        return -1;
    pSlot->itval = BuildArming(pSlot->iTimerMode, pSlot->iTimerMsec);
    if (ArmSlot(pProcInfo, slot) != 0) {
        // Delete the timer just made, or every failed start would leak one.
        timer_delete(pSlot->timerId);
        return -1;
    }
    ComLog(LOG_DEBUG, "end of ComTimerStart()\n");
    return 0;
}

extern "C" int ComTimeUpTimerStart(ProcInfo *pProcInfo, int iTimerDes, int iMsec)
{
    ComLog(LOG_DEBUG, "start of ComTimeUpTimerStart()\n");
    int slot = FindSlotOrLog(pProcInfo, iTimerDes);
    if (slot < 0)
        return -1;
    TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[slot];
    // Without a POSIX timer, timerId is stale or unset and may name another
    // slot's timer: arming it would start the wrong slot.
    if (pSlot->iTimerCreate != 0) {
        ComLog(LOG_INFO, "error of timer not created(%d)\n", iTimerDes);
        return -1;
    }
    if (iMsec != 0) {
        // A periodic slot stays periodic, with the new time as its period.
        pSlot->iTimerMsec = iMsec;
        pSlot->itval = BuildArming(pSlot->iTimerMode, iMsec);
    }
    if (ArmSlot(pProcInfo, slot) != 0)
        return -1;
    ComLog(LOG_DEBUG, "end of ComTimeUpTimerStart()\n");
    return 0;
}

// Cancel deletes the POSIX timer rather than disarming it; the next start
// creates a new one.
extern "C" int ComTimerCancel(ProcInfo *pProcInfo, int iTimerDes)
{
    ComLog(LOG_DEBUG, "start of ComTimerCancel()\n");
    int slot = FindSlotOrLog(pProcInfo, iTimerDes);
    if (slot < 0)
        return -1;
    TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[slot];
    if (pSlot->iTimerState == 0)
        return 0;
    timer_delete(pSlot->timerId);
    DropPendingExpiry(slot);
    pSlot->iTimerCreate = 1;
    pSlot->iTimerState = 0;
    ComLog(LOG_DEBUG, "end of ComTimerCancel()\n");
    return 0;
}

// Stops the slot and stores the new time; the next ComTimerStart uses it.
extern "C" int ComTimeReSetTimer(ProcInfo *pProcInfo, int iTimerDes, int iMsec)
{
    ComLog(LOG_DEBUG, "start of ComTimeReSetTimer()\n");
    int slot = FindSlot(pProcInfo, iTimerDes);
    if (slot < 0) {
        ComLog(LOG_INFO, "error of ComTimeReSetTimer(%d)\n", iTimerDes);
        return -1;
    }
    (void)ComTimerCancel(pProcInfo, iTimerDes);
    TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[slot];
    pSlot->itval = BuildArming(pSlot->iTimerMode, iMsec);
    pSlot->iTimerMsec = iMsec;
    const struct itimerspec &v = pSlot->itval;
    ComLog(LOG_DEBUG, "ComTimeReSetTimer() itval.it_value.tv_sec=%ld\n", static_cast<long>(v.it_value.tv_sec));
    ComLog(LOG_DEBUG, "ComTimeReSetTimer() itval.it_value.tv_nsec=%ld\n", static_cast<long>(v.it_value.tv_nsec));
    ComLog(LOG_DEBUG, "ComTimeReSetTimer() itval.it_interval.tv_sec=%ld\n",
           static_cast<long>(v.it_interval.tv_sec));
    ComLog(LOG_DEBUG, "ComTimeReSetTimer() itval.it_interval.tv_nsec=%ld\n",
           static_cast<long>(v.it_interval.tv_nsec));
    ComLog(LOG_DEBUG, "end of ComTimeReSetTimer()\n");
    return 0;
}

// Milliseconds since the slot was last armed (for a periodic slot, since its
// current period began).  Nanoseconds are counted in 64 bits: a 32-bit long
// would overflow after a little over 2 s.
extern "C" int ComTimerGet(ProcInfo *pProcInfo, int iTimerDes)
{
    ComLog(LOG_DEBUG, "start of ComTimerGet()\n");
    int slot = FindSlotOrLog(pProcInfo, iTimerDes);
    if (slot < 0)
        return -1;
    const TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[slot];
    if (pSlot->iTimerState == 0) {
        ComLog(LOG_DEBUG, "stopMode of timer\n");
        return -1;
    }
    struct itimerspec now = {};
    errno = 0;
    if (timer_gettime(pSlot->timerId, &now) != 0) {
        ComLog(LOG_INFO, "error of timer_gettime(errno=%d)\n", errno);
        return -1;
    }
    int64_t armed = static_cast<int64_t>(pSlot->itval.it_value.tv_sec) * kNsecPerSec + pSlot->itval.it_value.tv_nsec;
    int64_t left = static_cast<int64_t>(now.it_value.tv_sec) * kNsecPerSec + now.it_value.tv_nsec;
    int iElapsed = static_cast<int>((armed - left) / kNsecPerMsec);
    ComLog(LOG_DEBUG, "end of ComTimerGet()\n");
    return iElapsed;
}

extern "C" int ComTimerState(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of ComTimerState()\n");
    for (int i = 0; i < TimerCount(pProcInfo); ++i) {
        if (pProcInfo->TimerCntInfo[i].iTimerState == 1) {
            ComLog(LOG_DEBUG, "pProcInfo->TimerCntInfo[%d].iTimerState = %d\n", i,
                   pProcInfo->TimerCntInfo[i].iTimerState);
            return 1;
        }
    }
    ComLog(LOG_DEBUG, "end of ComTimerState()\n");
    return 0;
}

// The timer list keeps the closed read ends until ComSelectFdzero, which
// shutdown calls next.
extern "C" int ComTimerDelete(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of ComTimerDelete()\n");
    for (int i = 0; i < TimerCount(pProcInfo); ++i) {
        TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[i];
        (void)ComTimerCancel(pProcInfo, pSlot->iTimerSelectDes[1]);
        // An expired one-shot slot still owns a disarmed POSIX timer.
        if (pSlot->iTimerCreate == 0) {
            timer_delete(pSlot->timerId);
            pSlot->iTimerCreate = 1;
        }
        if (CloseSlotPipe(pProcInfo, pSlot) != 0)
            return -1;
    }
    ComSelectFdMaxGet(pProcInfo);
    pProcInfo->iTimerCount = 0;
    std::memset(pProcInfo->TimerCntInfo, 0, sizeof pProcInfo->TimerCntInfo);
    ComLog(LOG_DEBUG, "end of ComTimerDelete()\n");
    return 0;
}
