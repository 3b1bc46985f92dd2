// qnstsmsg.cpp - the start-up and termination reports a module sends to the
// status module.  Neither passes the outcome of the send back: a report
// that cannot be delivered is logged by the send itself.
#include <cstring>

#include "fifosend.h"

namespace {

// Three-digit result code in data bytes 0 to 2, the rest spaces; false (and
// logged) when the code does not fit.
bool ResultData(char (&data)[FIFO_MSG_DATA_SIZE], const char *fifoname, int cid, int iResult)
{
    std::memset(data, ' ', sizeof data);
    if (!kvo::FifoDataIdCheck(fifoname, cid, iResult))
        return false;
    kvo::FifoPutId(data, iResult);
    return true;
}

} // namespace

extern "C" void WakeupComplete(int iModId, int iResult, const char *pCode)
{
    ComLog(LOG_DEBUG, "start of WakeupComplete\n");
    const char *stsp = FIFO_NAME_STSP;
    char data[FIFO_MSG_DATA_SIZE];
    if (ResultData(data, stsp, CMDID_WAKEUP_COMP, iResult)) {
        if (pCode != nullptr)
            std::memcpy(data + 3, pCode, 4); // four code characters, no terminator
        static_cast<void>(ComFIFOPutData2(stsp, iModId, CMDID_WAKEUP_COMP, data));
    }
    ComLog(LOG_DEBUG, "end of WakeupComplete\n");
}

extern "C" void TerminateComplete(int iModId, int iResult)
{
    ComLog(LOG_DEBUG, "start of TerminateComplete\n");
    const char *sts = FIFO_NAME_STS;
    char data[FIFO_MSG_DATA_SIZE];
    if (ResultData(data, sts, CMDID_TERM_COMP, iResult))
        static_cast<void>(ComFIFOPutData2(sts, iModId, CMDID_TERM_COMP, data));
    ComLog(LOG_DEBUG, "end of TerminateComplete\n");
}
