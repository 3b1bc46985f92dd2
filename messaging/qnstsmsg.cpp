// qnstsmsg.cpp - the reports a module sends to the status module: start-up
// and termination, and the request to kill another module.  None passes the
// outcome of the send back: a report that cannot be delivered is logged by
// the send itself.
#include <cstring>

#include "fifosend.h"

namespace {

// A three-digit value (result code, module id) in data bytes 0 to 2, the
// rest spaces; false (and logged) when the value does not fit.
bool IdData(char (&data)[FIFO_MSG_DATA_SIZE], const char *fifoname, int cid, int value)
{
    std::memset(data, ' ', sizeof data);
    if (!kvo::FifoDataIdCheck(fifoname, cid, value))
        return false;
    kvo::FifoPutId(data, value);
    return true;
}

} // namespace

extern "C" void WakeupComplete(int iModId, int iResult, const char *pCode)
{
    ComLog(LOG_DEBUG, "start of WakeupComplete\n");
    const char *stsp = FIFO_NAME_STSP;
    char data[FIFO_MSG_DATA_SIZE];
    if (IdData(data, stsp, CMDID_WAKEUP_COMP, iResult)) {
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
    if (IdData(data, sts, CMDID_TERM_COMP, iResult))
        static_cast<void>(ComFIFOPutData2(sts, iModId, CMDID_TERM_COMP, data));
    ComLog(LOG_DEBUG, "end of TerminateComplete\n");
}

extern "C" void SendStsModuleKill(const char *fifoname, int iModId, int iKillModId)
{
    // fifoname names the delivery that failed; the request always goes to
    // the status module.
    static_cast<void>(fifoname);
    static const char kFunc[] = "SendStsModuleKill";
    kvo::FifoTraceStart(LOG_INFO, 727, kFunc); // 727, 741: fixed place numbers of the trace text
    const char *sts = FIFO_NAME_STS;
    char data[FIFO_MSG_DATA_SIZE];
    if (IdData(data, sts, CMDID_MODULE_KILL, iKillModId))
        static_cast<void>(ComFIFOPutData2(sts, iModId, CMDID_MODULE_KILL, data));
    kvo::FifoTraceEnd(LOG_INFO, 741, kFunc);
}
