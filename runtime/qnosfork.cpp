// qnosfork.cpp - the module table every module of the controller shares, a
// module's own identity, the start of child module processes, and the wait
// for the process-state word in the PROCSTATE segment.
#include "kvoruntime.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

// Rows are not in id order; the row, not the id, indexes the child arrays of
// ProcInfo.
constexpr uint16_t mod_id_tbl[KVO_MODULE_COUNT] = {
    80, 10, 11, 20, 21, 25, 22, 23, 24, 71, 30, 31, 55, 100, 101, 50, 90,
    40, 60, 51, 52, 53, 54, 102, 103, 144, 143, 140, 141, 142, 170, 110, 70,
};

constexpr const char *mod_name_tbl[KVO_MODULE_COUNT] = {
    "kvosts",  "kvolog",  "kvoftp",  "kvodisp", "kvosund", "kvopwld", "kvoilum",
    "kvogdld", "kvoekld", "kvopare", "kvocr",   "kvocrct", "kvoio",   "kvoopt",
    "kvomnte", "kvoek",   "kvofg",   "kvoauth", "kvosch",  "kvostop", "kvogdbt",
    "kvotamp", "kvopdwn", "kvolcd",  "kvofva",  "kvoemrg", "kvogurd", "kvoanti",
    "kvorute", "kvotwop", "kvokvot", "kvobundle", "kvosvr",
};

namespace {

constexpr bool IdsDistinct()
{
    for (int i = 0; i < KVO_MODULE_COUNT; ++i)
        for (int j = i + 1; j < KVO_MODULE_COUNT; ++j)
            if (mod_id_tbl[i] == mod_id_tbl[j])
                return false;
    return true;
}

constexpr bool NamesFit()
{
    for (const char *pName : mod_name_tbl) {
        int n = 0;
        while (pName[n] != '\0')
            ++n;
        if (n >= KVO_MODULE_NAME_LEN)
            return false;
    }
    return true;
}

static_assert(IdsDistinct(), "every module id appears once");
static_assert(NamesFit(), "every module name fits moduleInfo.name");
static_assert(mod_id_tbl[0] == 80 && mod_id_tbl[20] == 52, "status and guard-button rows");

// argv[1] of a child: the id text in three characters and the terminator.
constexpr int kModIdTextSize = 4;

constexpr int kExecFailedStatus = 127;
constexpr useconds_t kProcStatePollUs = 50000;

int ModuleRow(uint16_t uModId)
{
    for (int iRow = 0; iRow < KVO_MODULE_COUNT; ++iRow)
        if (mod_id_tbl[iRow] == uModId)
            return iRow;
    return -1;
}

unsigned long Addr(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

// Arguments are checked before anything is changed or forked.  The id text
// is formatted here, where a text that does not fit its buffer can still be
// refused; the child inherits the buffer.
bool ProcessCreateArgsOk(const char *pProcName, int iRow, int iIdOffset, char *pModId)
{
    if (pProcName == nullptr) {
        ComLog(LOG_INFO, "error of ComProcessCreate(no program path)\n");
        return false;
    }
    if (iRow < 0 || iRow >= KVO_MODULE_COUNT) {
        ComLog(LOG_INFO, "error of ComProcessCreate(row %d outside 0..%d)\n", iRow,
               KVO_MODULE_COUNT - 1);
        return false;
    }
    // Wide enough that no offset overflows; fits exactly for -99 to 999.
    long long llModId = static_cast<long long>(mod_id_tbl[iRow]) + iIdOffset;
    std::memset(pModId, 0, kModIdTextSize);
    int n = std::snprintf(pModId, kModIdTextSize, "%lld", llModId);
    if (n < 0 || n >= kModIdTextSize) {
        ComLog(LOG_INFO, "error of ComProcessCreate(module id %lld outside -99..999)\n", llModId);
        return false;
    }
    return true;
}

// The child after a failed execv is a copy of the caller; it must not go on
// with the caller's work as a second instance, nor run the caller's exit
// handlers or flush its stdio buffers a second time.
[[noreturn]] void ExecFailed(ProcInfo *pProcInfo, const char *pProcName, int iErr)
{
    pProcInfo->iErrno = iErr;
    ComLog(LOG_INFO, "execv failed(%s, errno=%d)\n", pProcName, iErr);
    _exit(kExecFailedStatus);
}

[[noreturn]] void ExecModule(ProcInfo *pProcInfo, const char *pProcName, int iRow, char *pModId,
                             const char *pArg)
{
    ComLog(LOG_DEBUG, "start of execv(%s)\n", pProcName);
    errno = 0;
    // A null extra argument ends the vector after the id.
    char *argv[] = {const_cast<char *>(pProcName), pModId, const_cast<char *>(pArg), nullptr};
    execv(pProcName, argv);
    int iErr = errno;
    pProcInfo->iProcessState[iRow] = 0;
    ComLog(LOG_INFO, "iProcessState(%d) = %d\n", iRow, 0);
    ExecFailed(pProcInfo, pProcName, iErr);
}

// fork with its log lines; -1 after logging the failure.
pid_t Fork(ProcInfo *pProcInfo)
{
    pid_t pid = fork();
    ComLog(LOG_DEBUG, "fork(pid=%d)\n", static_cast<int>(pid));
    if (pid == -1) {
        pProcInfo->iErrno = errno;
        ComLog(LOG_INFO, "fork failed(pid), errno=%d\n", pProcInfo->iErrno);
    }
    return pid;
}

} // namespace

extern "C" const char *ComModuleName(int iModId)
{
    if (iModId < 0 || iModId > UINT16_MAX)
        return nullptr;
    int iRow = ModuleRow(static_cast<uint16_t>(iModId));
    return iRow < 0 ? nullptr : mod_name_tbl[iRow];
}

extern "C" void ComModuleInfoCreate(ProcInfo *pProcInfo, int iModId)
{
    ComLog(LOG_DEBUG, "start of ComModuleInfoCreate()\n");
    pProcInfo->moduleInfo.mid = static_cast<uint16_t>(iModId);
    ComLog(LOG_DEBUG, "pProcInfo->moduleInfo.mid = %d\n", pProcInfo->moduleInfo.mid);
    pProcInfo->moduleInfo.pid = getpid();
    ComLog(LOG_DEBUG, "pProcInfo->moduleInfo.pid = %d\n", static_cast<int>(pProcInfo->moduleInfo.pid));
    // An id in no row leaves the name as it was.
    int iRow = ModuleRow(pProcInfo->moduleInfo.mid);
    if (iRow >= 0)
        std::snprintf(pProcInfo->moduleInfo.name, sizeof pProcInfo->moduleInfo.name, "%s",
                      mod_name_tbl[iRow]);
    ComLog(LOG_DEBUG, "pProcInfo->moduleInfo.name = %s\n", pProcInfo->moduleInfo.name);
    ComLog(LOG_DEBUG, "end of ComModuleInfoCreate()\n");
}

extern "C" int ComProcessCreate(ProcInfo *pProcInfo, const char *pProcName, int iRow,
                                int iIdOffset, const char *pArg)
{
    ComLog(LOG_DEBUG, "start of ComProcessCreate()\n");
    char cModId[kModIdTextSize];
    if (!ProcessCreateArgsOk(pProcName, iRow, iIdOffset, cModId))
        return -1;
    ComLog(LOG_DEBUG, "Procname = %s\n", pProcName);
    ComLog(LOG_DEBUG, "start of fork(%s)\n", pProcName);
    errno = 0;
    // Ended children are reaped by the system; this library never waits.
    signal(SIGCHLD, SIG_IGN);
    pid_t pid = Fork(pProcInfo);
    if (pid == -1)
        return -1;
    if (pid == 0)
        ExecModule(pProcInfo, pProcName, iRow, cModId, pArg);
    pProcInfo->chldPid[iRow] = pid;
    ComLog(LOG_DEBUG, "fork pProcInfo->chldPid[%d] = %d\n", iRow, static_cast<int>(pid));
    pProcInfo->iProcessState[iRow] = 1;
    ComLog(LOG_DEBUG, "iProcessState(%d) = %d\n", iRow, 1);
    pProcInfo->pProcName[iRow] = pProcName; // the caller's string, not a copy
    pProcInfo->iChildModId[iRow] = mod_id_tbl[iRow];
    pProcInfo->iChildCount++;
    ComLog(LOG_DEBUG, "fork pid = %d\n", static_cast<int>(pid));
    ComLog(LOG_DEBUG, "end of ComProcessCreate()\n");
    return pid;
}

extern "C" int ComProcessCreateGrandChild(ProcInfo *pProcInfo, const char *pProcName,
                                          char *const argv[])
{
    ComLog(LOG_DEBUG, "start of ComProcessCreateGrandChild()\n");
    ComLog(LOG_DEBUG, "Procname = %s\n", pProcName);
    ComLog(LOG_DEBUG, "start of fork(%s)\n", pProcName);
    errno = 0;
    pid_t pid = Fork(pProcInfo);
    if (pid == -1)
        return -1;
    if (pid == 0) {
        ComLog(LOG_DEBUG, "start of execv(%s)\n", pProcName);
        errno = 0;
        execv(pProcName, argv);
        ExecFailed(pProcInfo, pProcName, errno);
    }
    ComLog(LOG_DEBUG, "fork pid = %d\n", static_cast<int>(pid));
    ComLog(LOG_DEBUG, "end of ComProcessCreateGrandChild()\n");
    return pid;
}

extern "C" int ComProcStateCheck(ProcInfo *pProcInfo)
{
    ComLog(LOG_DEBUG, "start of ComProcStateCheck()\n");
    key_t key = ComShmKey('p');
    void *pRet = ComShmOpenRead(pProcInfo, key, sizeof(int32_t));
    if (pRet == KVO_SHM_FAILED) {
        ComLog(LOG_INFO, "error of ComShmOpenRead()\n");
        return -1;
    }
    ComLog(LOG_DEBUG, "success of ComShmOpenRead()\n");
    ComLog(LOG_DEBUG, "pRet(SEG_PROC_KEY) = 0x%lx\n", Addr(pRet));
    pProcInfo->pProcStateData = static_cast<int *>(pRet);
    // Another process sets the word; volatile makes every look a fresh read
    // of the shared memory.  Deliberately without a limit: the caller has
    // nothing to do until the word is set.
    const volatile int *pState = pProcInfo->pProcStateData;
    while (*pState == 0)
        usleep(kProcStatePollUs);
    ComLog(LOG_DEBUG, "pProcInfo->pProcStateData->iiProcState = %d\n", *pState);
    if (ComShmClose(pProcInfo, key) == -1) {
        ComLog(LOG_INFO, "error of ComShmClose()\n");
        return -1;
    }
    ComLog(LOG_DEBUG, "success of ComShmClose()\n");
    ComLog(LOG_DEBUG, "end of ComProcStateCheck()\n");
    return 0;
}
