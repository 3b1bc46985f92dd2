// gdbt.h - the guard-button service (module 52, "kvogdbt"): its state record,
// the guard-button driver's requests, and every service function.  Private
// to the service and the code that calls its functions; the layout of the
// CONFIG and OTHER segments it reads is the runtime's (kvosegments.h).
// gdbtproc.cpp owns start-up, the main loop and shutdown; gdbtev.cpp owns the
// device, the hold timing and the command handling.
#ifndef GDBT_H
#define GDBT_H

#include <cstddef>
#include <cstdint>

#include "kvomessaging.h"
#include "kvoruntime.h"
#include "kvosegments.h"

enum { MY_ID = MODID_GDBT };
static_assert(MY_ID == 52, "the guard-button service is module 52");

// The service's state, shared by the hold timing and the command handling.
struct GdbtLocalInfo {
    int32_t iGdSts;   // 0 idle, 1 guard request answer awaited, 2 IO status awaited
    int32_t iFuncFlg; // 1 function on, anything else off
    int32_t iPutTime; // hold-time accumulator in ms, 2000 while idle
};
static_assert(sizeof(GdbtLocalInfo) == 12, "three 32-bit ints");
static_assert(offsetof(GdbtLocalInfo, iGdSts) == 0, "iGdSts first");
static_assert(offsetof(GdbtLocalInfo, iFuncFlg) == 4, "iFuncFlg second");
static_assert(offsetof(GdbtLocalInfo, iPutTime) == 8, "iPutTime third");

extern GdbtLocalInfo gstLocalInfo;

// Device reads in a row that brought no event byte (failed, or 0 bytes).  A
// device that keeps failing stays readable for ever: after
// GDBT_DEVICE_FAIL_LIMIT such reads it is no longer watched, so the loop
// neither spins nor floods the log; commands are still served.
extern int giDeviceReadFailures;
constexpr int GDBT_DEVICE_FAIL_LIMIT = 16;

// Guard request states.
enum { GDSTS_IDLE = 0, GDSTS_GUARD_WAIT = 1, GDSTS_IO_WAIT = 2 };

// The guard-button driver: one event byte per read, two requests.
enum {
    CR_GETKEYSTS = 1,    // fills one byte with the key state, 1 pressed
    CR_SETKEYPOLLTM = 2, // takes one byte, the driver's key poll time
    GDBT_KEY_POLL_TIME = 40,
    GDBT_EVENT_PRESS = 1
};

// Hold timing: one-shot polls of 250 ms; the twelfth pressed poll lifts
// iPutTime from 2000 to 5000, past the limit.
enum {
    GDBT_HOLD_TIMER_MODE = KVO_TIMER_ONESHOT,
    GDBT_HOLD_POLL_MS = 250,
    GDBT_PUT_TIME_IDLE = 2000,
    GDBT_PUT_TIME_LIMIT = 4999
};

// The four code characters of every start-up report.
constexpr char kGdbtWakeupCode[] = "0312";

// Process lifecycle (gdbtproc.cpp).
int InitProc(ProcInfo *pProcInfo);
int MainProc(ProcInfo *pProcInfo);
int TermProc(ProcInfo *pProcInfo);
// First step of main: descriptors 0 to 2 open, SIGPIPE ignored, SIGUSR1
// blocked until the multiplexer sets the signal discipline.
void GdbtProcessPrepare();
// The log mask from the command line: LOG_UPTO of the level in argv[2],
// clamped into 0..7; level 6 when it is missing.
int GdbtLogMask(int argc, char *argv[]);

// Device and hold timing, command handling (gdbtev.cpp).
// Registers the hold timer (one-shot, 250 ms, TimeUpFunc) and keeps the
// handle that the hold timing starts and stops it by; the handle, or -1.
int GdbtHoldTimerSet(ProcInfo *pProcInfo);
int InitProcSub(ProcInfo *pProcInfo);
int TermProcSub(ProcInfo *pProcInfo);
int GDBTReadFunc(ProcInfo *pProcInfo);
int TimeUpFunc(ProcInfo *pProcInfo);
void TimerStartFunc(ProcInfo *pProcInfo);
void TimerStopFunc(ProcInfo *pProcInfo);
int BtnStsGetFunc(ProcInfo *pProcInfo);
void PutGuardBtnFunc(ProcInfo *pProcInfo);
int FifoReadFunc(ProcInfo *pProcInfo);
int WritePipe_GuardLog();

#endif // GDBT_H
