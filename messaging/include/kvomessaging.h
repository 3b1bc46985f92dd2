/*
 * kvomessaging.h - inter-module messaging, the layer above the process
 * runtime (kvoruntime.h): the 256-byte frame FifoMsg, the FIFO transport,
 * the status reports to the status module, the date stamps, and the peer
 * table (module ids, command ids and FIFO names that the guard-button
 * service sends to or receives from).  Usable from C and C++.
 */
#ifndef KVOMESSAGING_H
#define KVOMESSAGING_H

#include <stddef.h>
#include <stdint.h>

#include "kvopaths.h"
#include "kvoruntime.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One message: sender module id and command id as three ASCII digits each,
 * then 250 data bytes.  No header, length, checksum or terminator. */
enum {
    FIFO_MSG_SIZE = 256,
    FIFO_MSG_ID_LEN = 3,
    FIFO_MSG_DATA_SIZE = 250,
    FIFO_MSG_ID_MAX = 999 /* ids must fit their three digits */
};

typedef struct FifoMsg {
    char mid[FIFO_MSG_ID_LEN];
    char cid[FIFO_MSG_ID_LEN];
    char data[FIFO_MSG_DATA_SIZE];
} FifoMsg;

/* Longest time one send may spend waiting for a reader or for room in the
 * receiver's FIFO, over all of its attempts. */
enum { KVO_SEND_TIMEOUT_MS = 1000 };

/* Module ids (module table rows name them). */
enum KvoModId {
    MODID_LOG = 10,  /* "kvolog" */
    MODID_FTP = 11,  /* "kvoftp" */
    MODID_DISP = 20, /* "kvodisp" */
    MODID_AUTH = 40, /* "kvoauth" */
    MODID_EK = 50,   /* "kvoek" */
    MODID_GDBT = 52, /* "kvogdbt", the guard-button service */
    MODID_PARE = 71, /* "kvopare", the parent module */
    MODID_STS = 80   /* "kvosts", the status module */
};

/* Command ids the guard-button service sends or receives. */
enum KvoCmdId {
    CMDID_GUARD_LOG = 53,      /* -> log: guard log record */
    CMDID_DISP_MSG = 151,      /* -> display: "0619 00000000" */
    CMDID_AUTH_GUARD = 255,    /* -> authentication: guard notice */
    CMDID_GDBT_PRESS = 356,    /* -> parent or EK: button pressed */
    CMDID_GDBT_CON_NTF = 410,  /* status ->: IO answer, loop state in data[2] */
    CMDID_PARE_IO_REQ = 411,   /* parent ->: guard in direct mode */
    CMDID_PARE_GUARD_ANS = 412,/* parent ->: answer to 563, 0/1/2 in data[0] */
    CMDID_GDBT_FUNC = 413,     /* status ->: function on/off in data[0] */
    CMDID_IO_STSREQ = 454,     /* -> status: IO status request "052" */
    CMDID_GUARD_REQ = 563,     /* -> parent: guard request */
    CMDID_PARE_GUARD_NTF = 567,/* -> parent: guard notice, data[0] */
    CMDID_WAKEUP_COMP = 600,   /* -> status (FifoStsp): start-up report */
    CMDID_TERM_COMP = 605,     /* -> status: termination report */
    CMDID_ALIVE_ANS = 621,     /* -> status: answer to 901 */
    CMDID_MODULE_KILL = 631,   /* -> status: kill request */
    CMDID_TERMINATE = 900,     /* status ->: end the service, 0/1 in data[0] */
    CMDID_ALIVE_REQ = 901,     /* status ->: answered with 621 */
    CMDID_WAKEUP_REQ = 902     /* status ->: send the start-up report again */
};

/* FIFO paths; each follows KVO_ROOT (see kvopaths.h). */
#define FIFO_NAME_DIR (KvoPath(KVO_PATH_FIFO_DIR))
#define FIFO_NAME_GDBT (KvoPath(KVO_PATH_FIFO_GDBT))
#define FIFO_NAME_STS (KvoPath(KVO_PATH_FIFO_STS))
#define FIFO_NAME_STSP (KvoPath(KVO_PATH_FIFO_STSP))
#define FIFO_NAME_PARE (KvoPath(KVO_PATH_FIFO_PARE))
#define FIFO_NAME_AUTH (KvoPath(KVO_PATH_FIFO_AUTH))
#define FIFO_NAME_DISP (KvoPath(KVO_PATH_FIFO_DISP))
#define FIFO_NAME_EK (KvoPath(KVO_PATH_FIFO_EK))
#define FIFO_NAME_LOG (KvoPath(KVO_PATH_FIFO_LOG))
#define FIFO_NAME_FTP (KvoPath(KVO_PATH_FIFO_FTP))

/* ---- FIFO transport (qnosfifo) ---- */
int ComFifoCreateOpen(ProcInfo *pProcInfo, const char *fifoname, int kind);
int ComFifoRead(ProcInfo *pProcInfo, int fifoDescript, char *buf);
int ComFIFOGetData(ProcInfo *pProcInfo, int *mid, int *cid, char *data);
int ComFIFOPutData2(const char *fifoname, int mid, int cid, const char *data);
int ComFifoWrite(int fifoDescript, const char *buf, unsigned int len);
int ComFifoClose(ProcInfo *pProcInfo, int fifoDescript);
/* FTP-log delivery with recovery (qnosfifo_ftp) */
int ComFIFOPutData3(const char *fifoname, int mid, int cid, const char *data);
void ComFIFOGetFTP(void);
int ComFIFOPutDataforFtpLog(const char *fifoname, int mid, int cid, const char *data);

/* ---- status reports (qnstsmsg) ---- */
void WakeupComplete(int iModId, int iResult, const char *pCode);
void TerminateComplete(int iModId, int iResult);
void SendStsModuleKill(const char *fifoname, int iModId, int iKillModId);

/* ---- date stamps (qndate) ---- */
void GetCurTime(uint32_t *pDate, uint32_t *pTime, uint16_t *pWeek);
void GetDateTimeStr(char *pDate, char *pTime);

#ifdef __cplusplus
}

static_assert(sizeof(FifoMsg) == FIFO_MSG_SIZE, "a frame is 256 bytes");
static_assert(offsetof(FifoMsg, mid) == 0, "module id at offset 0");
static_assert(offsetof(FifoMsg, cid) == 3, "command id at offset 3");
static_assert(offsetof(FifoMsg, data) == 6, "data at offset 6");
#endif

#endif /* KVOMESSAGING_H */
