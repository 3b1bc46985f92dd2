// gdbtproc.cpp - the guard-button service's process phases: start-up in its
// fixed order (InitProc), the main loop over the command FIFO and the device
// (MainProc), and shutdown in the reverse order (TermProc); also the first
// step of main that makes the process safe before anything is opened.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "gdbt.h"

namespace {

// Our own writer of the command FIFO, held from start-up to shutdown: while
// it is open the FIFO always has a writer, so a read never sees end of file
// when the peers close theirs, and the main loop never spins on it.
int gKeepWriteDes = -1;

void KeepWriterOpen()
{
    errno = 0;
    gKeepWriteDes = open(FIFO_NAME_GDBT, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (gKeepWriteDes == -1) {
        int e = errno;
        // Not fatal: the service still works while some peer holds a writer.
        ComLog(LOG_INFO, "InitProc,own writer of command FIFO not open(%s, errno=%d(%s))\n",
               FIFO_NAME_GDBT, e, std::strerror(e));
        return;
    }
    ComLog(LOG_DEBUG, "success of open(GdbtFifo write), fd = %d\n", gKeepWriteDes);
}

int CloseKeepWriter(ProcInfo *pProcInfo)
{
    if (gKeepWriteDes == -1)
        return 0;
    errno = 0;
    int iRet = close(gKeepWriteDes);
    gKeepWriteDes = -1; // closed or not, the descriptor is gone
    if (iRet == -1) {
        int e = errno;
        pProcInfo->iErrno = e;
        ComLog(LOG_INFO, "close(fifoGdbtWrite) failed(%s, errno=%d(%s))\n", FIFO_NAME_GDBT, e,
               std::strerror(e));
        return -1;
    }
    return 0;
}

unsigned long Addr(SelectProc proc) { return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(proc)); }

// 0 would end the application list.
bool IsWatchable(int fd) { return fd != 0 && ComSelectFdFits(fd); }

int CloseFifoWriteDes(ProcInfo *pProcInfo)
{
    for (int i = 0; i < KVO_FIFO_WRITE_MAX && pProcInfo->iFifoWriteDes[i] != 0; ++i) {
        errno = 0;
        if (close(pProcInfo->iFifoWriteDes[i]) == -1) {
            int e = errno;
            pProcInfo->iErrno = e;
            ComLog(LOG_INFO, "close(fifoWrite) failed(iFifoWriteDes=%d, errno=%d(%s))\n",
                   pProcInfo->iFifoWriteDes[i], e, std::strerror(e));
            return -1;
        }
    }
    return 0;
}

int CloseFifoReadDes(ProcInfo *pProcInfo)
{
    // 0: start-up never opened it (descriptor 0 is stdin).  -1 from a failed
    // open goes to close as it stands and ends the shutdown.
    if (pProcInfo->iFifoReadDes == 0)
        return 0;
    errno = 0;
    if (close(pProcInfo->iFifoReadDes) == -1) {
        int e = errno;
        pProcInfo->iErrno = e;
        ComLog(LOG_INFO, "close(fifoGdbtRead) failed(%s, errno=%d(%s))\n", FIFO_NAME_GDBT, e,
               std::strerror(e));
        return -1;
    }
    return 0;
}

// A wait or a frame read that fails again and again would turn the main
// loop into a spin that floods the log.  From the second failure in a row
// the loop pauses before it waits again, 1 ms doubling up to one second;
// a single failure costs nothing.  Signals stay blocked meanwhile and are
// taken at the next wait.
void PauseAfterFailures(int iFailures)
{
    if (iFailures < 2)
        return;
    int shift = iFailures - 2 < 10 ? iFailures - 2 : 10;
    long ms = 1L << shift;
    if (ms > 1000)
        ms = 1000;
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    (void)nanosleep(&ts, nullptr);
}

} // namespace

void GdbtProcessPrepare()
{
    // Keep 0 to 2 taken, so that neither the command FIFO nor the device
    // can become descriptor 0, which would end the application list.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int nul = open("/dev/null", O_RDWR);
        if (nul != -1 && nul != fd) {
            (void)dup2(nul, fd);
            (void)close(nul);
        }
    }
    // A reader that vanishes during a send must not end the process, also
    // before the multiplexer blocks SIGPIPE.
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    (void)sigaction(SIGPIPE, &ign, nullptr);
    // The timer signal is let through only inside the multiplexer's wait
    // (ComSelectInit); until then a stray one stays pending.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    (void)sigprocmask(SIG_BLOCK, &usr1, nullptr);
}

int GdbtLogMask(int argc, char *argv[])
{
    long level = LOG_INFO;
    if (argc >= 3 && argv[2] != nullptr) {
        // As atoi, but without its undefined overflow; then into 0..7 so
        // that LOG_UPTO never shifts out of range.
        level = std::strtol(argv[2], nullptr, 10);
        if (level < LOG_EMERG)
            level = LOG_EMERG;
        if (level > LOG_DEBUG)
            level = LOG_DEBUG;
    }
    return LOG_UPTO(static_cast<int>(level));
}

int InitProc(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of InitProc\n");
    ComLog(LOG_DEBUG, "pProcInfo = 0x%lx\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(pProcInfo)));
    pProcInfoCom = pProcInfo;

    pProcInfo->iFifoReadDes = ComFifoCreateOpen(pProcInfo, FIFO_NAME_GDBT, 1);
    if (pProcInfo->iFifoReadDes == -1) {
        ComLog(LOG_INFO, "error(GdbtFifo read) of ComFifoCreate()\n");
        return -1;
    }
    ComLog(LOG_DEBUG, "success of ComFifoCreateOpen(GdbtFifo read), iFifoReadDes = %d\n",
           pProcInfo->iFifoReadDes);
    KeepWriterOpen();

    if (ComShmOpenRead(pProcInfo, ComShmKey(KVO_CONFIG_PROJ_ID), KVO_CONFIG_SIZE) == KVO_SHM_FAILED) {
        ComLog(LOG_INFO, "error of ComShmOpenRead()\n");
        return -1;
    }
    pProcInfo->pConfigData = static_cast<const unsigned char *>(pProcInfo->pShmConfig);
    ComLog(LOG_DEBUG, "success of ComShmOpenRead(CONFIG)\n");

    if (ComShmOpenRead(pProcInfo, ComShmKey(KVO_OTHER_PROJ_ID), KVO_OTHER_SIZE) == KVO_SHM_FAILED) {
        ComLog(LOG_INFO, "error of ComShmOpenRead(OTHER)\n");
        return -1;
    }
    pProcInfo->pOtherData = static_cast<const unsigned char *>(pProcInfo->pShmOther);
    ComLog(LOG_DEBUG, "success of ComShmOpenRead(OTHER)\n");

    ComModuleInfoCreate(pProcInfo, MY_ID);
    ComLog(LOG_DEBUG, "success of ComModuleInfoCreate()\n");

    if (ComSigAlrm(pProcInfo, SigAlrmHandler) != 0) {
        ComLog(LOG_INFO, "error of ComSigAlrm()\n");
        return -1;
    }
    ComLog(LOG_DEBUG, "success of ComSigAlrm()\n");

    // Before ComTimerSet: it clears the tables the timer pipe is entered in.
    ComSelectFdzero(pProcInfo);
    ComLog(LOG_DEBUG, "success of ComSelectFdzero()\n");

    int iHoldTimerDes = GdbtHoldTimerSet(pProcInfo);
    if (iHoldTimerDes == -1) {
        ComLog(LOG_INFO, "error of ComTimerSet(0)\n");
        return -1;
    }
    ComLog(LOG_DEBUG, "success of ComTimerSet(0), handle = %d\n", iHoldTimerDes);

    if (InitProcSub(pProcInfo) < 0)
        return -1;
    ComLog(LOG_DEBUG, "success of InitProcSub()\n");

    ComLog(LOG_INFO, "end of InitProc\n");
    return 0;
}

int MainProc(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of MainProc\n");
    for (int &des : pProcInfo->iaSelectDes)
        des = 0;
    pProcInfo->iaSelectDes[0] = pProcInfo->iFifoReadDes;
    pProcInfo->pSelectProc[0] = FifoReadFunc;
    ComLog(LOG_DEBUG, "pProcInfo->iaSelectDes[0] = %d, pSelectProc[0] = 0x%lx\n",
           pProcInfo->iaSelectDes[0], Addr(pProcInfo->pSelectProc[0]));

    // A device that did not open (-1) must never reach the descriptor sets.
    if (IsWatchable(pProcInfo->iIoReadDes[0])) {
        pProcInfo->iaSelectDes[1] = pProcInfo->iIoReadDes[0];
        pProcInfo->pSelectProc[1] = GDBTReadFunc;
        ComLog(LOG_DEBUG, "pProcInfo->iaSelectDes[1] = %d, pSelectProc[1] = 0x%lx\n",
               pProcInfo->iaSelectDes[1], Addr(pProcInfo->pSelectProc[1]));
    } else {
        ComLog(LOG_INFO, "MainProc,guard button driver not open, serving commands only\n");
    }

    int iRet = ComSelectInit(pProcInfo);
    if (iRet != 0)
        ComLog(LOG_INFO, "MainProc,ComSelectInit refused a descriptor(ret=%d)\n", iRet);

    int iFailures = 0;
    for (;;) {
        iRet = ComSelect(pProcInfo);
        if (iRet == KVO_SELECT_END)
            break;
        if (iRet != KVO_SELECT_ERROR) {
            iFailures = 0;
            continue;
        }
        ComLog(LOG_INFO, "Select error, ret = %d\n", iRet);
        PauseAfterFailures(++iFailures);
    }
    ComLog(LOG_INFO, "Terminate reBoot\n");
    ComLog(LOG_DEBUG, "end of MainProc\n");
    return 0;
}

int TermProc(ProcInfo *pProcInfo)
{
    ComLog(LOG_INFO, "start of TermProc\n");
    // The termination report goes out before anything else is released.
    (void)TermProcSub(pProcInfo);

    if (CloseFifoWriteDes(pProcInfo) != 0)
        return -1;
    if (CloseFifoReadDes(pProcInfo) != 0)
        return -1;
    if (CloseKeepWriter(pProcInfo) != 0)
        return -1;
    ComLog(LOG_DEBUG, "success of close(GdbtFifo)\n");

    if (ComTimerDelete(pProcInfo) != 0) {
        ComLog(LOG_INFO, "error of ComTimerDelete()\n");
        return -1;
    }
    ComSelectFdzero(pProcInfo);

    if (ComShmClose(pProcInfo, ComShmKey(KVO_CONFIG_PROJ_ID)) == -1) {
        ComLog(LOG_INFO, "error of ComShmClose()\n");
        return -1;
    }
    if (ComShmClose(pProcInfo, ComShmKey(KVO_OTHER_PROJ_ID)) == -1) {
        ComLog(LOG_INFO, "error of ComShmClose()\n");
        return -1;
    }

    // The timers are gone, so nothing reaches the record through this any more.
    pProcInfoCom = nullptr;
    std::free(pProcInfo);
    ComLog(LOG_INFO, "end of TermProc\n");
    ComLogClose();
    return 0;
}
