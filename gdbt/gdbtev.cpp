// gdbtev.cpp - the guard-button service's handlers: the guard-button device
// and its hold timing (press events, twelve 250 ms polls, the guard request),
// and the command FIFO's handler that follows the status and parent modules
// through the guard sequence.  All of it runs on the main thread inside
// ComSelect, or in start-up and shutdown; the timer signal never touches it.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "gdbt.h"

GdbtLocalInfo gstLocalInfo;
int giDeviceReadFailures;

namespace {

// The hold timer's handle as ComTimerSet returned it (GdbtHoldTimerSet).
int giHoldTimerDes;

constexpr char kDispLoopOff[] = "0619 00000000";
constexpr char kIoStsReqData[] = "052";

// Guard log record: date, time, then the record kind in bytes 16 and 17.
constexpr size_t kLogDateOff = 0;
constexpr size_t kLogTimeOff = 8;
constexpr size_t kLogKindOff = 16;
constexpr char kLogKind[2] = {4, 0};

using Data = char[FIFO_MSG_DATA_SIZE];

void FillSpaces(Data data) { std::memset(data, ' ', FIFO_MSG_DATA_SIZE); }

void Send(const char *fifoname, int iCmd_id, const Data data)
{
    // A failed send is logged by the transport; nothing here depends on it.
    (void)ComFIFOPutData2(fifoname, MY_ID, iCmd_id, data);
}

void SendDispLoopOff(Data data)
{
    std::memcpy(data, kDispLoopOff, sizeof kDispLoopOff - 1);
    Send(FIFO_NAME_DISP, CMDID_DISP_MSG, data);
}

void FormatErr(const char *num, int iMod_id, int iCmd_id, unsigned char d0)
{
    ComLog(LOG_INFO, "%s,FifoReadFunc,message format err(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n",
           num, iMod_id, iCmd_id, static_cast<unsigned>(d0));
}

// The received frame of one FifoReadFunc call.
struct Rcv {
    int iMod_id;
    int iCmd_id;
    char data[FIFO_MSG_DATA_SIZE];
    unsigned char D(size_t i) const { return static_cast<unsigned char>(data[i]); }
};

// Commands of the status module other than 410; KVO_SELECT_END ends the
// main loop.
int StsCommand(const Rcv &rcv, Data data)
{
    switch (rcv.iCmd_id) {
    case CMDID_TERMINATE:
        if (rcv.D(0) == 0 || rcv.D(0) == 1)
            return KVO_SELECT_END;
        FormatErr("00001", rcv.iMod_id, rcv.iCmd_id, rcv.D(0));
        break;
    case CMDID_ALIVE_REQ:
        Send(FIFO_NAME_STS, CMDID_ALIVE_ANS, data);
        break;
    case CMDID_WAKEUP_REQ:
        WakeupComplete(MY_ID, 0, kGdbtWakeupCode);
        break;
    case CMDID_GDBT_FUNC:
        if (rcv.D(0) == 0 || rcv.D(0) == 1) {
            gstLocalInfo.iFuncFlg = rcv.D(0);
            ComLog(LOG_DEBUG, "function on/off change gstLocalInfo.iFuncFlg=%d\n",
                   gstLocalInfo.iFuncFlg);
        } else {
            FormatErr("00002", rcv.iMod_id, rcv.iCmd_id, rcv.D(0));
        }
        break;
    default:
        FormatErr("00003", rcv.iMod_id, rcv.iCmd_id, rcv.D(0));
        break;
    }
    return KVO_SELECT_SERVED;
}

// Parent mode: the parent module's answer to the guard request.
void ParentModeCommand(const Rcv &rcv, Data data)
{
    if (rcv.iMod_id != MODID_PARE || rcv.iCmd_id != CMDID_PARE_GUARD_ANS) {
        FormatErr("00014", rcv.iMod_id, rcv.iCmd_id, rcv.D(0));
        return;
    }
    if (gstLocalInfo.iGdSts != GDSTS_GUARD_WAIT) {
        ComLog(LOG_INFO,
               "00013,FifoReadFunc,gstLocalInfo.iGdSts = %d receave PARE(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n",
               gstLocalInfo.iGdSts, rcv.iMod_id, rcv.iCmd_id, static_cast<unsigned>(rcv.D(0)));
        return;
    }
    if (rcv.D(0) == 2) {
        ComLog(LOG_INFO, "00011,FifoReadFunc,LOOP SIGNAL OFF\n");
        SendDispLoopOff(data);
    } else if (rcv.D(0) != 0 && rcv.D(0) != 1) {
        FormatErr("00012", rcv.iMod_id, rcv.iCmd_id, rcv.D(0));
    }
    gstLocalInfo.iGdSts = GDSTS_IDLE;
}

// Direct mode, 411: the parent module asks for a guard.
void DirectGuardRequest(const ProcInfo *pProcInfo, const Rcv &rcv, Data data)
{
    unsigned char flag = KvoConfigAuthFlag(pProcInfo->pConfigData);
    if (flag == '0') {
        if (gstLocalInfo.iGdSts == GDSTS_GUARD_WAIT) {
            ComLog(LOG_INFO,
                   "00004,FifoReadFunc,io response receive waiting(guard button):gstLocalInfo.iGdSts = %d receave IO(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n",
                   gstLocalInfo.iGdSts, rcv.iMod_id, rcv.iCmd_id, static_cast<unsigned>(rcv.D(0)));
            return;
        }
        std::memcpy(data, kIoStsReqData, sizeof kIoStsReqData - 1);
        Send(FIFO_NAME_STS, CMDID_IO_STSREQ, data);
        gstLocalInfo.iGdSts = GDSTS_IO_WAIT;
        return;
    }
    // One buffer for both notices: the 255 carries what the 567 left.
    data[0] = static_cast<char>(flag - '0');
    Send(FIFO_NAME_PARE, CMDID_PARE_GUARD_NTF, data);
    data[0] = 0;
    data[1] = 1;
    Send(FIFO_NAME_AUTH, CMDID_AUTH_GUARD, data);
}

// Direct mode, 410: the status module's IO answer, loop signal in data[2].
void DirectIoAnswer(const Rcv &rcv, Data data)
{
    ComLog(LOG_INFO, "iMod_id == MODID_STS && iCmd_id == CMDID_GDBT_CON_NTF\n");
    unsigned char loop = rcv.D(2);
    if (gstLocalInfo.iGdSts == GDSTS_GUARD_WAIT) {
        if (loop == 1) {
            data[0] = 1;
            data[1] = 0;
            Send(FIFO_NAME_AUTH, CMDID_AUTH_GUARD, data);
        } else if (loop == 0) {
            ComLog(LOG_INFO, "00005,FifoReadFunc,LOOP SIGNAL OFF\n");
            SendDispLoopOff(data);
            (void)WritePipe_GuardLog();
        } else {
            FormatErr("00006", rcv.iMod_id, rcv.iCmd_id, rcv.D(0));
        }
    } else if (gstLocalInfo.iGdSts == GDSTS_IO_WAIT) {
        if (loop == 1) {
            data[0] = 0;
            Send(FIFO_NAME_PARE, CMDID_PARE_GUARD_NTF, data);
            data[0] = 1;
            data[1] = 1;
            Send(FIFO_NAME_AUTH, CMDID_AUTH_GUARD, data);
        } else if (loop == 0) {
            ComLog(LOG_INFO, "00007,FifoReadFunc,LOOP SIGNAL OFF\n");
            data[0] = 2;
            (void)WritePipe_GuardLog();
            Send(FIFO_NAME_PARE, CMDID_PARE_GUARD_NTF, data);
        } else {
            FormatErr("00008", rcv.iMod_id, rcv.iCmd_id, rcv.D(0));
        }
    } else {
        ComLog(LOG_INFO,
               "00009,FifoReadFunc,gstLocalInfo.iGdSts = %d receave IO(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n",
               gstLocalInfo.iGdSts, rcv.iMod_id, rcv.iCmd_id, static_cast<unsigned>(rcv.D(0)));
    }
    gstLocalInfo.iGdSts = GDSTS_IDLE;
}

void DirectModeCommand(const ProcInfo *pProcInfo, const Rcv &rcv, Data data)
{
    if (rcv.iMod_id == MODID_PARE && rcv.iCmd_id == CMDID_PARE_IO_REQ)
        DirectGuardRequest(pProcInfo, rcv, data);
    else if (rcv.iMod_id == MODID_STS && rcv.iCmd_id == CMDID_GDBT_CON_NTF)
        DirectIoAnswer(rcv, data);
    else
        FormatErr("00010", rcv.iMod_id, rcv.iCmd_id, rcv.D(0));
}

} // namespace

// ---- device and hold timing ----

int GdbtHoldTimerSet(ProcInfo *pProcInfo)
{
    giHoldTimerDes = ComTimerSet(pProcInfo, GDBT_HOLD_TIMER_MODE, GDBT_HOLD_POLL_MS, TimeUpFunc);
    return giHoldTimerDes;
}

int InitProcSub(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of InitProcSub\n");
    gstLocalInfo.iGdSts = GDSTS_IDLE;
    gstLocalInfo.iFuncFlg = 1;
    gstLocalInfo.iPutTime = GDBT_PUT_TIME_IDLE;
    giDeviceReadFailures = 0;

    errno = 0;
    pProcInfo->iIoReadDes[0] = open(KVO_DEV_CR_KEY, O_RDWR);
    if (pProcInfo->iIoReadDes[0] == -1) {
        int e = errno;
        ComLog(LOG_INFO, "00021,InitProcSub,open(Guard Button Driver) failed(errno=%d(%s))\n", e,
               std::strerror(e));
        ComLog(LOG_DEBUG, "end of InitProcSub\n");
        return 0; // the service goes on with commands alone
    }
    ComLog(LOG_DEBUG, "pProcInfo->iIoReadDes[0] = %d\n", pProcInfo->iIoReadDes[0]);

    unsigned char pollTime = GDBT_KEY_POLL_TIME;
    errno = 0;
    int iRet = ioctl(pProcInfo->iIoReadDes[0], CR_SETKEYPOLLTM, &pollTime);
    if (iRet == -1) {
        int e = errno;
        ComLog(LOG_INFO,
               "00022,InitProcSub,ioctrl(Guard Button Driver CR_SETKEYPOLLTM) failed(errno=%d(%s))\n",
               e, std::strerror(e));
        ComLog(LOG_DEBUG, "end of InitProcSub\n");
        return -1; // the descriptor stays recorded; shutdown closes it
    }
    ComLog(LOG_DEBUG, "end of InitProcSub\n");
    return iRet;
}

int TermProcSub(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of TermProcSub\n");
    int iRet = 0;
    // 0 means start-up never reached the open: descriptor 0 is stdin, not
    // ours.  -1 from a failed open goes to close as it stands and fails.
    if (pProcInfo->iIoReadDes[0] != 0) {
        errno = 0;
        iRet = close(pProcInfo->iIoReadDes[0]);
        if (iRet == -1) {
            int e = errno;
            pProcInfo->iErrno = e;
            ComLog(LOG_INFO,
                   "00023,TermProcSub,close(Guard Button Driver) failed(iFifoWriteDes=%d, errno=%d(%s))\n",
                   pProcInfo->iFifoWriteDes[0], e, std::strerror(e));
        }
    }
    TerminateComplete(MY_ID, iRet == -1 ? 1 : 0);
    ComLog(LOG_DEBUG, "end of TermProcSub\n");
    return iRet;
}

namespace {

// Called from the device's own handler, inside ComSelect, which allows it.
void StopWatchingDevice(ProcInfo *pProcInfo, int fd)
{
    if (ComSelectRemove(pProcInfo, fd) == 0)
        ComLog(LOG_INFO, "GDBTReadFunc,guard button driver keeps failing, no longer watched(fd=%d)\n", fd);
}

// Counts reads without an event byte; a good read ends the count.
void CountDeviceRead(ProcInfo *pProcInfo, ssize_t n)
{
    if (n == 1) {
        giDeviceReadFailures = 0;
        return;
    }
    if (++giDeviceReadFailures == GDBT_DEVICE_FAIL_LIMIT)
        StopWatchingDevice(pProcInfo, pProcInfo->iSelectDes);
}

} // namespace

int GDBTReadFunc(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of GDBTReadFunc\n");
    Data data;
    FillSpaces(data);
    unsigned char event = 0;
    errno = 0;
    ssize_t n = read(pProcInfo->iSelectDes, &event, 1);
    int e = errno; // before the trace, which may touch errno
    ComLog(LOG_DEBUG, "iReadcnt = %d\n", static_cast<int>(n));
    if (n == -1) {
        ComLog(LOG_INFO,
               "00016,GDBTReadFunc,Guard Button Driver Read failed(pProcInfo->iSelectDes=%d), errno=%d(%s)\n",
               pProcInfo->iSelectDes, e, std::strerror(e));
    }
    if (n != 1) {
        ComLog(LOG_INFO, "00020,GDBTReadFunc,Error Guard Button Read Count= %d\n", static_cast<int>(n));
        CountDeviceRead(pProcInfo, n);
        ComLog(LOG_DEBUG, "end of GDBTReadFunc\n");
        return KVO_SELECT_SERVED;
    }
    CountDeviceRead(pProcInfo, n);
    if (event != GDBT_EVENT_PRESS) {
        ComLog(LOG_INFO, "00019,GDBTReadFunc,Error Guard Button Read Data[0]= 0x%x\n",
               static_cast<unsigned>(event));
        ComLog(LOG_DEBUG, "end of GDBTReadFunc\n");
        return KVO_SELECT_SERVED;
    }

    // Every press is forwarded, whatever the function settings.
    bool parentMode = KvoOtherParentMode(pProcInfo->pOtherData) != 0;
    Send(parentMode ? FIFO_NAME_PARE : FIFO_NAME_EK, CMDID_GDBT_PRESS, data);

    unsigned char guardButton = KvoConfigGuardButton(pProcInfo->pConfigData);
    if (guardButton != '1') {
        ComLog(LOG_DEBUG,
               "GDBTReadFunc,guard button function off put guard button(pProcInfo->pConfigData->other.guard_button[0]=0x%x)\n",
               static_cast<unsigned>(guardButton));
    } else if (gstLocalInfo.iFuncFlg != 1 || KvoOtherHoldInhibit(pProcInfo->pOtherData) != 0) {
        ComLog(LOG_INFO, "00018,GDBTReadFunc,function off put guard button\n");
    } else {
        // A press during a hold starts the count again.
        TimerStopFunc(pProcInfo);
        TimerStartFunc(pProcInfo);
    }
    ComLog(LOG_DEBUG, "end of GDBTReadFunc\n");
    return KVO_SELECT_SERVED;
}

int TimeUpFunc(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of TimeUpFunc\n");
    int iRet = BtnStsGetFunc(pProcInfo);
    ComLog(LOG_DEBUG, "BtnStsGetFunc,iRet=%d\n", iRet);
    if (iRet == 1) {
        gstLocalInfo.iPutTime += GDBT_HOLD_POLL_MS;
        ComLog(LOG_DEBUG, "gstLocalInfo.iPutTime=%d\n", gstLocalInfo.iPutTime);
        if (gstLocalInfo.iPutTime > GDBT_PUT_TIME_LIMIT) {
            gstLocalInfo.iPutTime = GDBT_PUT_TIME_IDLE;
            PutGuardBtnFunc(pProcInfo); // the hold is complete: no further poll
        } else {
            TimerStartFunc(pProcInfo);
        }
    } else {
        ComLog(LOG_DEBUG, "guard button off\n");
        gstLocalInfo.iPutTime = GDBT_PUT_TIME_IDLE;
    }
    ComLog(LOG_DEBUG, "end of TimeUpFunc\n");
    return KVO_SELECT_SERVED;
}

void TimerStartFunc(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of TimerStartFunc\n");
    if (ComTimerStart(pProcInfo, giHoldTimerDes) == -1)
        ComLog(LOG_INFO, "00024,TimerStartFunc,error of ComTimerStart\n");
    ComLog(LOG_DEBUG, "end of TimerStartFunc\n");
}

void TimerStopFunc(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of TimerStopFunc\n");
    gstLocalInfo.iPutTime = GDBT_PUT_TIME_IDLE;
    if (ComTimerCancel(pProcInfo, giHoldTimerDes) != 0)
        ComLog(LOG_INFO, "00025,TimerStopFunc,error of ComTimerCancel\n");
    ComLog(LOG_DEBUG, "end of TimerStopFunc\n");
}

int BtnStsGetFunc(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of BtnStsGetFunc\n");
    unsigned char state = 0;
    errno = 0;
    int iRet = ioctl(pProcInfo->iIoReadDes[0], CR_GETKEYSTS, &state);
    if (iRet != 0) {
        int e = errno;
        ComLog(LOG_INFO, "00026,BtnStsGetFunc,ioctl failed(errno=%d(%s))\n", e, std::strerror(e));
        ComLog(LOG_DEBUG, "end of BtnStsGetFunc\n");
        // The ioctl's own result, except that a failed read must never
        // pass for "pressed" (1).
        return iRet == 1 ? -1 : iRet;
    }
    ComLog(LOG_DEBUG, "end of BtnStsGetFunc\n");
    return state;
}

void PutGuardBtnFunc(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of PutGuardBtnFunc\n");
    Data data;
    FillSpaces(data);
    if (KvoOtherParentMode(pProcInfo->pOtherData) != 0) {
        Send(FIFO_NAME_PARE, CMDID_GUARD_REQ, data);
        gstLocalInfo.iGdSts = GDSTS_GUARD_WAIT;
    } else if (KvoConfigAuthFlag(pProcInfo->pConfigData) != '0') {
        data[0] = 0;
        data[1] = 0;
        Send(FIFO_NAME_AUTH, CMDID_AUTH_GUARD, data);
        gstLocalInfo.iGdSts = GDSTS_IDLE;
    } else if (gstLocalInfo.iGdSts != GDSTS_IO_WAIT) {
        // Also while a request is awaited: the IO status is asked again.
        ComLog(LOG_INFO, "FIFO_NAME_STS, MY_ID, CMDID_IO_STSREQ\n");
        std::memcpy(data, kIoStsReqData, sizeof kIoStsReqData - 1);
        Send(FIFO_NAME_STS, CMDID_IO_STSREQ, data);
        gstLocalInfo.iGdSts = GDSTS_GUARD_WAIT;
    } else {
        ComLog(LOG_INFO, "00017,GDBTReadFunc,io response receive waiting(child):gstLocalInfo.iGdSts = %d\n",
               gstLocalInfo.iGdSts);
    }
    ComLog(LOG_DEBUG, "end of PutGuardBtnFunc\n");
}

// ---- command handling ----

int FifoReadFunc(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of FifoReadFunc\n");
    Data data; // one outgoing buffer per call, never refilled between sends
    FillSpaces(data);
    Rcv rcv{};
    int iReadcnt = ComFIFOGetData(pProcInfo, &rcv.iMod_id, &rcv.iCmd_id, rcv.data);
    if (iReadcnt == -1) {
        ComLog(LOG_INFO, "00000,FifoReadFunc,ComFIFOGetData Returned KVOERROR\n");
        ComLog(LOG_DEBUG, "end of FifoReadFunc\n");
        return KVO_SELECT_ERROR;
    }
    if (iReadcnt == 0) {
        ComLog(LOG_DEBUG, "end of FifoReadFunc\n");
        return KVO_SELECT_SERVED;
    }
    ComLog(LOG_DEBUG, "iReadcnt = %d\n", iReadcnt);

    if (rcv.iMod_id == MODID_STS && rcv.iCmd_id != CMDID_GDBT_CON_NTF) {
        if (StsCommand(rcv, data) == KVO_SELECT_END) {
            ComLog(LOG_DEBUG, "end of FifoReadFunc\n");
            return KVO_SELECT_END;
        }
    } else if (gstLocalInfo.iFuncFlg != 1) {
        ComLog(LOG_INFO,
               "00015,FifoReadFunc,function off receive message(iMod_id:%03d/iCmd_id:%03d/data[0]:0x%x)\n",
               rcv.iMod_id, rcv.iCmd_id, static_cast<unsigned>(rcv.D(0)));
    } else if (KvoOtherParentMode(pProcInfo->pOtherData) != 0) {
        ParentModeCommand(rcv, data);
    } else {
        DirectModeCommand(pProcInfo, rcv, data);
    }
    ComLog(LOG_DEBUG, "end of FifoReadFunc\n");
    return KVO_SELECT_SERVED;
}

int WritePipe_GuardLog()
{
    ComLog(LOG_DEBUG, "start of WritePipe_GuardLog\n");
    Data data;
    FillSpaces(data);
    GetDateTimeStr(data + kLogDateOff, data + kLogTimeOff); // bytes 14 and 15 stay spaces
    std::memcpy(data + kLogKindOff, kLogKind, sizeof kLogKind);
    int iRet = ComFIFOPutData2(FIFO_NAME_LOG, MY_ID, CMDID_GUARD_LOG, data);
    ComLog(LOG_DEBUG, "end of WritePipe_GuardLog\n");
    return iRet;
}
