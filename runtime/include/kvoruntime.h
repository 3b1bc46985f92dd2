/*
 * kvoruntime.h - the process runtime shared by every module process of the
 * controller: the context record ProcInfo, the descriptor multiplexer, the
 * interval timers and their signal, shared-memory access and process
 * creation.  The messaging layer (kvomessaging.h) builds on it; the layout
 * of the segments other modules fill is in kvosegments.h.
 *
 * Usable from C and C++.  Every function that needs process state takes the
 * ProcInfo address first; results are 0 (or a descriptor, id or address) on
 * success and -1 on failure, with errno cleared before each system call.
 */
#ifndef KVORUNTIME_H
#define KVORUNTIME_H

/* POSIX timers, siginfo_t and the System V types: a strict ISO C mode hides
 * them unless the POSIX interfaces are asked for. */
#if defined(__STRICT_ANSI__) && !defined(__cplusplus) && !defined(_POSIX_C_SOURCE) && \
    !defined(_XOPEN_SOURCE) && !defined(_GNU_SOURCE) && !defined(_DEFAULT_SOURCE)
#error "kvoruntime.h: compile in a gnu mode or define _POSIX_C_SOURCE=200809L"
#endif

#include <signal.h>
#include <stdint.h>
#include <sys/ipc.h>
#include <sys/select.h>
#include <sys/types.h>
#include <time.h>

#include "kvolog.h"
#include "kvopaths.h"

#ifdef __cplusplus
extern "C" {
#endif

struct ProcInfo;

/* A descriptor or timer handler: KVO_SELECT_SERVED, KVO_SELECT_ERROR, or
 * anything else, which ends the ComSelect turn and is returned by it. */
typedef int (*SelectProc)(struct ProcInfo *pProcInfo);

/* Results of a handler and of ComSelect, one turn of a module's main loop. */
enum {
    KVO_SELECT_SERVED = 0,      /* served (ComSelect: nothing ended the turn) */
    KVO_SELECT_ERROR = -1,      /* failed; from a timer handler only traced */
    KVO_SELECT_END = 2,         /* ends a module's main loop */
    KVO_SELECT_INTERRUPTED = 3  /* ComSelect: a signal ended the wait */
};

enum {
    KVO_SELECT_MAX = 10,     /* application descriptors per process */
    KVO_TIMER_MAX = 10,      /* timer slots per process */
    KVO_FIFO_WRITE_MAX = 32, /* FIFOs kept open for writing */
    KVO_IO_READ_MAX = 4,     /* input devices; entry 0 is the guard button */
    KVO_MODULE_COUNT = 33,   /* rows of the module table */
    KVO_MODULE_NAME_LEN = 16,
    KVO_FD_LIMIT = FD_SETSIZE /* descriptors 0 .. 1023 fit a descriptor set */
};

/* Timer modes. */
enum { KVO_TIMER_ONESHOT = 1, KVO_TIMER_PERIODIC = 2 };

/* One timer slot: a POSIX timer paired with a pipe of its own. */
typedef struct TimerCntInfo_t {
    int iTimerSelectDes[2]; /* [0] read end (watched), [1] write end (handle) */
    timer_t timerId;
    int iTimerMode;          /* 1 one-shot, 2 periodic */
    int iTimerMsec;          /* delay or period in milliseconds */
    SelectProc pTimeUpProc;
    int iTimerSigId;         /* 100 + slot, once the POSIX timer exists */
    int iTimerState;         /* 1 running, 0 stopped */
    int iTimerCreate;        /* 1: next start creates the POSIX timer */
    struct itimerspec itval; /* the arming last computed */
} TimerCntInfo_t;

typedef struct ModuleInfo_t {
    char name[KVO_MODULE_NAME_LEN];
    uint16_t mid;
    pid_t pid;
} ModuleInfo_t;

/* The per-process context record.  Field order is fixed. */
typedef struct ProcInfo {
    int iFifoReadDes;
    int iFifoWriteDes[KVO_FIFO_WRITE_MAX];
    int iIoReadDes[KVO_IO_READ_MAX];
    int iErrno;
    int iSelectDes;
    int iMaxfd;
    fd_set stSelectFds;
    fd_set stReadFds;
    int iTimerSelectDes[KVO_TIMER_MAX];
    SelectProc pTimerSelectProc[KVO_TIMER_MAX];
    int iaSelectDes[KVO_SELECT_MAX];
    SelectProc pSelectProc[KVO_SELECT_MAX];
    void *pShmConfig;
    void *pShmSchedule;
    void *pShmOther;
    void *pShmController;
    void *pShmConfigImg;
    void *pShmMemCtlData;
    void *pShmProcState;
    int iShmIdConfig;
    int iShmIdSchedule;
    int iShmIdOther;
    int iShmIdController;
    int iShmIdConfigImg;
    int iShmIdMemCtlData;
    int iShmIdProcState;
    const unsigned char *pConfigData;
    const unsigned char *pOtherData;
    int *pProcStateData;
    int iSigState;
    int iTimerCount;
    TimerCntInfo_t TimerCntInfo[KVO_TIMER_MAX];
    int iChildCount;
    ModuleInfo_t moduleInfo;
    int iProcessState[KVO_MODULE_COUNT];
    int chldPid[KVO_MODULE_COUNT];
    const char *pProcName[KVO_MODULE_COUNT];
    int iChildModId[KVO_MODULE_COUNT];
    /* Fields of our own, after the shared ones. */
    unsigned int uShmIdRecorded; /* bit per segment row: its id field was set */
} ProcInfo;

/* The process's record, for the timer signal handler. */
extern ProcInfo *pProcInfoCom;
/* The signal mask that pselect waits with (built by ComSelectInit). */
extern sigset_t set;

/* ---- descriptor multiplexer (qnosselect) ---- */
/* Nonzero when a descriptor set can hold fd (0 to KVO_FD_LIMIT - 1): the
 * one range check for every descriptor that is watched or compared. */
int ComSelectFdFits(int fd);
void ComSelectFdzero(ProcInfo *pProcInfo);
/* Both refuse (result -1, with a log line) a descriptor outside 0 to 1023,
 * which no descriptor set can hold; the others are still entered. */
int ComSelectTimerInit(ProcInfo *pProcInfo);
int ComSelectInit(ProcInfo *pProcInfo);
int ComSelect(ProcInfo *pProcInfo);
void ComSelectUpdate(ProcInfo *pProcInfo, int iMode);
void ComSelectFdMaxGet(ProcInfo *pProcInfo);
/* Takes iDes and its handler out of the application list, keeping the list
 * packed, and out of both descriptor sets; iMaxfd stays (a wider wait is
 * harmless).  Safe from a handler inside ComSelect: the entry that moves up
 * into the freed place is skipped for the rest of that turn and, if ready,
 * served in the next.  0, or -1 with a log line for a NULL record, a
 * descriptor the list cannot hold (0, or outside a descriptor set), or one
 * that is not in the list. */
int ComSelectRemove(ProcInfo *pProcInfo, int iDes);

/* ---- interval timers (qnostimer) ---- */
extern const int timerSigIdTbl[KVO_TIMER_MAX];
int ComTimerSet(ProcInfo *pProcInfo, int iMode, int iMsec, SelectProc pTimeUpProc);
int ComTimerStart(ProcInfo *pProcInfo, int iTimerDes);
int ComTimeUpTimerStart(ProcInfo *pProcInfo, int iTimerDes, int iMsec);
int ComTimerCancel(ProcInfo *pProcInfo, int iTimerDes);
int ComTimeReSetTimer(ProcInfo *pProcInfo, int iTimerDes, int iMsec);
int ComTimerGet(ProcInfo *pProcInfo, int iTimerDes);
int ComTimerState(ProcInfo *pProcInfo);
int ComTimerDelete(ProcInfo *pProcInfo);
/* Sleeps without a timer slot (qnossleep): top bit clear, ticks of 10 ms;
 * top bit set, the low 31 bits in 1/256 s. */
void SleepTicks(uint32_t ulTicks);

/* ---- timer signal (qnossig) ---- */
typedef void (*SigActionProc)(int iSigNo, siginfo_t *info, void *pContext);
int ComSigAlrm(ProcInfo *pProcInfo, SigActionProc pHandler);
/* The one timer signal handler every module passes to ComSigAlrm. */
void SigAlrmHandler(int iSigNo, siginfo_t *info, void *pContext);

/* ---- shared memory (qnosshm) ---- */
/* Attach functions return an address, or KVO_SHM_FAILED ((void *)-1). */
#ifdef __cplusplus
#define KVO_SHM_FAILED (reinterpret_cast<void *>(static_cast<intptr_t>(-1)))
#else
#define KVO_SHM_FAILED ((void *)-1)
#endif
int ComShmCreat(ProcInfo *pProcInfo, key_t key, size_t size);
void *ComShmOpenRw(ProcInfo *pProcInfo, key_t key, int iShmId);
void *ComShmOpenRead(ProcInfo *pProcInfo, key_t key, size_t size);
int ComShmClose(ProcInfo *pProcInfo, key_t key);
int ComShmRm(ProcInfo *pProcInfo, key_t key);
void *ComShmRwGet(ProcInfo *pProcInfo, key_t key, size_t size);
int ComShmRwFree(ProcInfo *pProcInfo, key_t key);
int ComCardMasterShmCreat(void *pStCardMst, key_t key, size_t size);
void *ComCardMasterShmOpenRw(void *pStCardMst, key_t key, int iShmId);
void *ComCardMasterShmOpenRead(void *pStCardMst, key_t key, size_t size);
/* ftok of the controller's key file (which follows KVO_ROOT). */
key_t ComShmKey(int iProjId);

/* ---- module table and process creation (qnosfork) ---- */
extern const uint16_t mod_id_tbl[KVO_MODULE_COUNT];
extern const char *const mod_name_tbl[KVO_MODULE_COUNT];
void ComModuleInfoCreate(ProcInfo *pProcInfo, int iModId);
int ComProcessCreate(ProcInfo *pProcInfo, const char *pProcName, int iRow, int iIdOffset,
                     const char *pArg);
int ComProcessCreateGrandChild(ProcInfo *pProcInfo, const char *pProcName, char *const argv[]);
int ComProcStateCheck(ProcInfo *pProcInfo);
/* Module name for an id, or NULL when the id is in no row. */
const char *ComModuleName(int iModId);

#ifdef __cplusplus
}
#endif

#endif /* KVORUNTIME_H */
