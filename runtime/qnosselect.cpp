// qnosselect.cpp - the descriptor multiplexer: the application and timer
// handler tables of a ProcInfo, the master descriptor set, and ComSelect, the
// one turn of a module's main loop.  It also owns the process's signal
// discipline: after ComSelectInit every signal is blocked except while
// pselect waits, so the timer signal handler (qnossig) only ever runs inside
// the wait and never between a handler's lines.
#include "kvoruntime.h"

#include <cerrno>
#include <csignal>
#include <sys/select.h>
#include <unistd.h>

ProcInfo *pProcInfoCom = nullptr;
sigset_t set;

namespace {

// The signals a wait lets through.  SIGKILL and SIGSTOP cannot be blocked in
// any case; they are listed because the wait mask is built by removal.
constexpr int kWaitSignals[] = {SIGUSR1, SIGKILL, SIGHUP, SIGINT, SIGSTOP, SIGTERM, SIGCHLD};

bool IsReady(const ProcInfo *pProcInfo, int fd)
{
    return ComSelectFdFits(fd) && FD_ISSET(fd, &pProcInfo->stReadFds);
}

void RaiseMaxfd(ProcInfo *pProcInfo, int fd)
{
    if (pProcInfo->iMaxfd < fd) {
        pProcInfo->iMaxfd = fd;
        ComLog(LOG_DEBUG, "pProcInfo->iMaxfd = %d\n", pProcInfo->iMaxfd);
    }
}

// Enters fd into the master set; -1 (logged) when no set can hold it.
int WatchFd(ProcInfo *pProcInfo, int fd)
{
    if (!ComSelectFdFits(fd)) {
        ComLog(LOG_INFO, "error of descriptor(%d)\n", fd);
        return -1;
    }
    FD_SET(fd, &pProcInfo->stSelectFds);
    RaiseMaxfd(pProcInfo, fd);
    return 0;
}

void UnwatchFd(ProcInfo *pProcInfo, int fd)
{
    if (!ComSelectFdFits(fd))
        return;
    FD_CLR(fd, &pProcInfo->stReadFds);
    FD_CLR(fd, &pProcInfo->stSelectFds);
}

int TimerCount(const ProcInfo *pProcInfo)
{
    int n = pProcInfo->iTimerCount;
    return n < 0 ? 0 : (n > KVO_TIMER_MAX ? KVO_TIMER_MAX : n);
}

void BuildWaitMask()
{
    sigfillset(&set);
    sigprocmask(SIG_SETMASK, &set, nullptr);
    for (int sig : kWaitSignals)
        sigdelset(&set, sig);
}

// A table entry without a handler is an error, not a jump to address 0.
int CallHandler(ProcInfo *pProcInfo, SelectProc proc)
{
    if (proc == nullptr) {
        ComLog(LOG_INFO, "error of handler(iSelectDes=%d)\n", pProcInfo->iSelectDes);
        return KVO_SELECT_ERROR;
    }
    return proc(pProcInfo);
}

int WaitReady(ProcInfo *pProcInfo)
{
    pProcInfo->stReadFds = pProcInfo->stSelectFds;
    // iMaxfd only ever holds a watched descriptor; the clamp keeps the kernel
    // inside the 1024-bit set even if a caller wrote the field itself.
    int width = pProcInfo->iMaxfd + 1;
    if (width < 0 || width > KVO_FD_LIMIT)
        width = KVO_FD_LIMIT;
    errno = 0;
    int iRtn = pselect(width, &pProcInfo->stReadFds, nullptr, nullptr, nullptr, &set);
    ComLog(LOG_DEBUG, "iRtn = %d, errno = %d\n", iRtn, errno);
    ComLog(LOG_DEBUG, "pProcInfo->iSigState = %d\n", pProcInfo->iSigState);
    return iRtn;
}

// One byte per slot and turn: expiries that queued several bytes are served
// one per call, each with its own handler call.
void ConsumeTimerByte(ProcInfo *pProcInfo, int slot)
{
    TimerCntInfo_t *pSlot = &pProcInfo->TimerCntInfo[slot];
    char cReadBuff[2] = {0, 0};
    ssize_t n = read(pSlot->iTimerSelectDes[0], cReadBuff, 1);
    (void)n; // a readable pipe has a byte; nothing to do if it had not
    ComLog(LOG_DEBUG, "cReadBuff = %s\n", cReadBuff);
    // A one-shot slot is stopped before its handler runs, so that a handler
    // which starts it again leaves it running.
    if (pSlot->iTimerMode == KVO_TIMER_ONESHOT)
        pSlot->iTimerState = 0;
    pProcInfo->iSigState = 0;
}

// Calls the handler of every ready timer pipe.  Returns KVO_SELECT_SERVED to
// go on, or the first handler result (other than served and error) that
// ends the turn.
int TimerPass(ProcInfo *pProcInfo, int *piRtn)
{
    for (int i = 0; i < TimerCount(pProcInfo); ++i) {
        if (ComTimerState(pProcInfo) == 0) {
            ComLog(LOG_DEBUG, "all timer stop\n");
            break;
        }
        int fd = pProcInfo->iTimerSelectDes[i];
        ComLog(LOG_DEBUG, "Des check = %d\n", fd);
        if (!IsReady(pProcInfo, fd))
            continue;
        ConsumeTimerByte(pProcInfo, i);
        --*piRtn;
        pProcInfo->iSelectDes = fd;
        int r = CallHandler(pProcInfo, pProcInfo->pTimerSelectProc[i]);
        if (r == KVO_SELECT_ERROR) {
            ComLog(LOG_DEBUG, "error of timerSelectProc()\n");
        } else if (r != KVO_SELECT_SERVED) {
            ComLog(LOG_INFO, "timerSelectProc() retuen code = %d\n", r);
            return r;
        }
    }
    return KVO_SELECT_SERVED;
}

// Calls the handler of every ready application descriptor, to the first 0
// entry; a handler result other than served ends the turn with that result.
int ApplicationPass(ProcInfo *pProcInfo)
{
    for (int i = 0; i < KVO_SELECT_MAX; ++i) {
        int fd = pProcInfo->iaSelectDes[i];
        if (fd == 0) {
            ComLog(LOG_DEBUG, "non read data\n");
            return KVO_SELECT_SERVED;
        }
        if (!IsReady(pProcInfo, fd))
            continue;
        pProcInfo->iSelectDes = fd;
        int r = CallHandler(pProcInfo, pProcInfo->pSelectProc[i]);
        if (r == KVO_SELECT_ERROR) {
            ComLog(LOG_DEBUG, "error of selectProc()\n");
            return KVO_SELECT_ERROR;
        }
        if (r != KVO_SELECT_SERVED) {
            ComLog(LOG_DEBUG, "ComSelect() retuen code = %d\n", r);
            return r;
        }
    }
    ComLog(LOG_DEBUG, "end of ComSelect()\n");
    return KVO_SELECT_SERVED;
}

// The application list entry that holds fd, or -1.
int AppEntry(const ProcInfo *pProcInfo, int fd)
{
    for (int i = 0; i < KVO_SELECT_MAX && pProcInfo->iaSelectDes[i] != 0; ++i) {
        if (pProcInfo->iaSelectDes[i] == fd)
            return i;
    }
    return -1;
}

} // namespace

// A descriptor set holds 0 .. 1023; FD_SET/FD_ISSET beyond that would write
// or read past the set into the rest of the record.
extern "C" int ComSelectFdFits(int fd)
{
    return fd >= 0 && fd < KVO_FD_LIMIT;
}

extern "C" void ComSelectFdzero(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of ComSelectFdzero()\n");
    FD_ZERO(&pProcInfo->stReadFds);
    FD_ZERO(&pProcInfo->stSelectFds);
    pProcInfo->iMaxfd = 0;
    for (int i = 0; i < KVO_TIMER_MAX; ++i)
        pProcInfo->iTimerSelectDes[i] = 0;
    for (int i = 0; i < KVO_SELECT_MAX; ++i)
        pProcInfo->iaSelectDes[i] = 0;
    ComLog(LOG_DEBUG, "FD_ZERO ok\n");
    ComLog(LOG_DEBUG, "end of ComSelectFdzero()\n");
}

// Called by ComTimerSet for the slot being registered, before iTimerCount
// counts it.
extern "C" int ComSelectTimerInit(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of ComSelectTimerInit()\n");
    int slot = pProcInfo->iTimerCount;
    if (slot < 0 || slot >= KVO_TIMER_MAX) {
        ComLog(LOG_INFO, "error of timerMaxOver\n");
        return -1;
    }
    if (WatchFd(pProcInfo, pProcInfo->iTimerSelectDes[slot]) != 0)
        return -1;
    ComLog(LOG_DEBUG, "end of ComSelectTimerInit()\n");
    return 0;
}

// The master set is not emptied and iMaxfd never lowered here: the timer
// pipes are already in them.  A refused descriptor does not stop the others.
extern "C" int ComSelectInit(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of ComSelectInit()\n");
    int rc = 0;
    for (int i = 0; i < KVO_SELECT_MAX && pProcInfo->iaSelectDes[i] != 0; ++i) {
        if (WatchFd(pProcInfo, pProcInfo->iaSelectDes[i]) != 0)
            rc = -1;
    }
    BuildWaitMask();
    ComLog(LOG_DEBUG, "end of ComSelectInit()\n");
    return rc;
}

extern "C" int ComSelect(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of ComSelect()\n");
    // Nothing could ever become ready: waiting would block for good.
    if (pProcInfo->iaSelectDes[0] == 0 && ComTimerState(pProcInfo) == 0) {
        ComLog(LOG_DEBUG, "empty of iSelectDes\n");
        return KVO_SELECT_SERVED;
    }
    int iRtn = WaitReady(pProcInfo);
    if (iRtn == 0) {
        ComLog(LOG_DEBUG, "(1)non read data(kernel)\n");
        return KVO_SELECT_SERVED;
    }
    if (iRtn < 0) {
        pProcInfo->iErrno = errno;
        ComLog(LOG_DEBUG, "read error errno=%d\n", pProcInfo->iErrno);
        // A timer signal ends the wait; its pipe is served in the next turn.
        return pProcInfo->iErrno == EINTR ? KVO_SELECT_INTERRUPTED : KVO_SELECT_ERROR;
    }
    int r = TimerPass(pProcInfo, &iRtn);
    if (r != KVO_SELECT_SERVED)
        return r;
    if (iRtn == 0) {
        ComLog(LOG_DEBUG, "(2)non read data(kernel)\n");
        return KVO_SELECT_SERVED;
    }
    return ApplicationPass(pProcInfo);
}

extern "C" void ComSelectUpdate(ProcInfo *pProcInfo, int iMode)
{
    ComLog(LOG_DEBUG, "start of ComSelectUpdate()\n");
    if (iMode != 0) {
        (void)ComSelectInit(pProcInfo); // a refused descriptor is logged there
        ComLog(LOG_DEBUG, "FD_SET ok\n");
        ComSelectFdMaxGet(pProcInfo);
        ComLog(LOG_DEBUG, "end of ComSelectUpdate()\n");
        return;
    }
    int n = 0;
    while (n < KVO_SELECT_MAX && pProcInfo->iaSelectDes[n] != 0) {
        UnwatchFd(pProcInfo, pProcInfo->iaSelectDes[n]);
        ++n;
    }
    for (int i = 0; i < KVO_SELECT_MAX; ++i)
        pProcInfo->iaSelectDes[i] = 0;
    if (n < KVO_SELECT_MAX) {
        // A list shorter than ten is emptied too, and iMaxfd recomputed, so
        // that no cleared descriptor lingers in the list or widens the wait;
        // its trace stays that of the short list.
        ComSelectFdMaxGet(pProcInfo);
        ComLog(LOG_DEBUG, "end of allClear\n");
        return;
    }
    ComLog(LOG_DEBUG, "FD_CLR ok\n");
    ComSelectFdMaxGet(pProcInfo);
    ComLog(LOG_DEBUG, "end of ComSelectUpdate()\n");
}

// Zero entries are gaps here, not the end of a list; descriptors no set can
// hold were never watched and do not count.
extern "C" void ComSelectFdMaxGet(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of ComSelectFdMaxGet()\n");
    pProcInfo->iMaxfd = 0;
    for (int i = 0; i < KVO_TIMER_MAX; ++i) {
        if (ComSelectFdFits(pProcInfo->iTimerSelectDes[i]))
            RaiseMaxfd(pProcInfo, pProcInfo->iTimerSelectDes[i]);
    }
    for (int i = 0; i < KVO_SELECT_MAX; ++i) {
        if (ComSelectFdFits(pProcInfo->iaSelectDes[i]))
            RaiseMaxfd(pProcInfo, pProcInfo->iaSelectDes[i]);
    }
    ComLog(LOG_DEBUG, "end of ComSelectFdMaxGet()\n");
}

// No traces: a caller that takes a descriptor out says why in its own line.
extern "C" int ComSelectRemove(ProcInfo *pProcInfo, int iDes)
{
    if (pProcInfo == nullptr) {
        ComLog(LOG_INFO, "error of ComSelectRemove(pProcInfo=NULL)\n");
        return -1;
    }
    // 0 ends the list and so is never in it.
    if (iDes == 0 || !ComSelectFdFits(iDes)) {
        ComLog(LOG_INFO, "error of descriptor(%d)\n", iDes);
        return -1;
    }
    int i = AppEntry(pProcInfo, iDes);
    if (i < 0) {
        ComLog(LOG_INFO, "error of ComSelectRemove(%d)\n", iDes);
        return -1;
    }
    for (int j = i; j + 1 < KVO_SELECT_MAX; ++j) {
        pProcInfo->iaSelectDes[j] = pProcInfo->iaSelectDes[j + 1];
        pProcInfo->pSelectProc[j] = pProcInfo->pSelectProc[j + 1];
    }
    pProcInfo->iaSelectDes[KVO_SELECT_MAX - 1] = 0;
    UnwatchFd(pProcInfo, iDes);
    return 0;
}
