// qnossig.cpp - the timer signal: ComSigAlrm installs the handler for
// SIGUSR1, and SigAlrmHandler, the one handler every module passes to it,
// turns a timer expiry into a byte in the slot's pipe.  The multiplexer lets
// SIGUSR1 through only while pselect waits, so the handler never interrupts
// the main code; that is why it may read the slot table without locks and
// log.  Beyond that it touches only write() and errno.
#include "kvoruntime.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {

// The running slot whose signal value is sigId, or -1.
int MatchSlot(const ProcInfo *pProcInfo, int sigId)
{
    int n = pProcInfo->iTimerCount;
    for (int i = 0; i < n && i < KVO_TIMER_MAX; ++i) {
        const TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[i];
        ComLog(LOG_DEBUG, "TimerCntInfo[%d] sigId = %d, state = %d\n", i, pSlot->iTimerSigId, pSlot->iTimerState);
        if (pSlot->iTimerSigId == sigId && pSlot->iTimerState == 1)
            return i;
    }
    return -1;
}

// false when the byte could not be written (logged): the expiry is lost.
bool SignalSlot(ProcInfo *pProcInfo, int slot)
{
    static const char kByte[] = "1";
    pProcInfo->iSigState = 1;
    errno = 0;
    if (write(pProcInfo->TimerCntInfo[slot].iTimerSelectDes[1], kByte, 1) != 1) {
        int e = errno;
        ComLog(LOG_INFO, "send failed(%s, errno=%d(%s))\n", kByte, e, strerror(e));
        return false;
    }
    ComLog(LOG_DEBUG, "send success(%s)\n", kByte);
    return true;
}

// Signals sent with a value by a process carry a negative si_code other than
// SI_TIMER; kill() carries no value at all, and the kernel marks expiries of
// POSIX timers SI_TIMER.
bool QueuedByProcess(const siginfo_t *info)
{
    return info->si_code < 0 && info->si_code != SI_TIMER;
}

} // namespace

// The texts say SIGALRM for history's sake; the signal is SIGUSR1.
extern "C" int ComSigAlrm(ProcInfo *pProcInfo, SigActionProc pHandler)
{
    (void)pProcInfo;
    ComLog(LOG_DEBUG, "start of ComSigAlrm()\n");
    struct sigaction act;
    std::memset(&act, 0, sizeof act);
    act.sa_sigaction = pHandler;
    act.sa_flags = SA_SIGINFO | SA_RESTART; // pselect is never restarted regardless
    sigemptyset(&act.sa_mask);
    errno = 0;
    if (sigaction(SIGUSR1, &act, nullptr) != 0) {
        ComLog(LOG_INFO, "error of sigaction(SIGALRM: errno=%d)\n", errno);
        return -1;
    }
    ComLog(LOG_DEBUG, "success of sigaction(SIGALRM)\n");
    ComLog(LOG_DEBUG, "end of ComSigAlrm()\n");
    return 0;
}

// A value that names no running slot (a SIGUSR1 from elsewhere, or a late
// expiry of a slot stopped meanwhile) is dropped.
extern "C" void SigAlrmHandler(int iSigNo, siginfo_t *info, void *pContext)
{
    (void)pContext;
    int savedErrno = errno; // the interrupted code may be about to read it
    ComLog(LOG_DEBUG, "start of SigAlrmHandler()\n");
    ComLog(LOG_DEBUG, "signal = %d\n", iSigNo);
    ProcInfo *pProcInfo = pProcInfoCom;
    bool served = true;
    if (info != nullptr && pProcInfo != nullptr) {
        int sigId = info->si_value.sival_int;
        ComLog(LOG_DEBUG, "si_timerid = %d, sival_int = %d\n", info->si_timerid, sigId);
        // A value queued by a process (sigqueue and the like) is not an
        // expiry, whatever it says: taken as one it would shorten a hold.
        int slot = QueuedByProcess(info) ? -1 : MatchSlot(pProcInfo, sigId);
        if (slot >= 0)
            served = SignalSlot(pProcInfo, slot);
    }
    if (served)
        ComLog(LOG_DEBUG, "end of SigAlrmHandler()\n");
    errno = savedErrno;
}
