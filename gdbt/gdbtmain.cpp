// gdbtmain.cpp - entry of the guard-button service ("GdbtProcess"): log
// set-up from the command line, the process record, the three phases and
// the exit status (0 orderly, 1 after any failure).
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "gdbt.h"

int main(int argc, char *argv[])
{
    GdbtProcessPrepare();
    ComLogOpen("KVOGDBT", LOG_PID, LOG_LOCAL4);
    ComLogSetMask(GdbtLogMask(argc, argv));
    ComLog(LOG_DEBUG, "start of GdbtProcess\n");

    errno = 0;
    ProcInfo *pProcInfo = static_cast<ProcInfo *>(std::malloc(sizeof(ProcInfo)));
    if (pProcInfo == nullptr) {
        int e = errno;
        ComLog(LOG_INFO, "malloc error (errno=%d(%s))\n", e, std::strerror(e));
        std::exit(1);
    }
    std::memset(pProcInfo, 0, sizeof(ProcInfo));

    int iRet = InitProc(pProcInfo);
    if (iRet != 0) {
        ComLog(LOG_INFO, "initProc error (iRet=%d)\n", iRet);
        WakeupComplete(MY_ID, 1, kGdbtWakeupCode);
        (void)TermProc(pProcInfo);
        std::exit(1);
    }
    WakeupComplete(MY_ID, 0, kGdbtWakeupCode);

    (void)MainProc(pProcInfo);

    iRet = TermProc(pProcInfo);
    if (iRet != 0) {
        ComLog(LOG_INFO, "termProc error (iRet=%d)\n", iRet);
        std::exit(1);
    }
    // TermProc has closed the log; reopen it for the last line so that it
    // reaches the same target as every other line.
    ComLogOpen("KVOGDBT", LOG_PID, LOG_LOCAL4);
    ComLog(LOG_DEBUG, "end of GdbtProcess\n");
    ComLogClose();
    std::exit(0);
}
