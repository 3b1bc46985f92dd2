// qnosshm.cpp - System V shared-memory segments of the controller: create,
// attach read-write or read-only, detach and remove.  The seven known
// segments are told apart by the project id their key was made with and are
// recorded in ProcInfo; the card-master family serves one more segment and
// records nothing.  Segment contents belong to the modules that write them.
#include "kvoruntime.h"
#include "kvosegments.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace {

// The flag values every module passes; other processes depend on them.
constexpr int kShmCreatFlags = IPC_CREAT | 0666;
constexpr int kShmReadFlags = 0444;
static_assert(kShmCreatFlags == 950, "create flags are 950 (octal 1666)");
static_assert(kShmReadFlags == 292, "open-for-reading flags are 292 (octal 444)");
static_assert(SHM_RDONLY == 4096, "read-only attach flag is 4096");

constexpr int kCardMasterProjId = 'd';

struct ShmRow {
    int iProjId;
    const char *pTag;
    void *ProcInfo::*pAddr;
    int ProcInfo::*pId;
    const char *pAddrName;
    const char *pIdName;
};

// Matching order: a key is the first row whose ftok equals it.  PROCSTATE is
// tried before MEMCTLDATA although ProcInfo keeps them the other way round.
constexpr std::array<ShmRow, 7> kShmRows = {{
    {'c', "CONFIG", &ProcInfo::pShmConfig, &ProcInfo::iShmIdConfig, "pShmConfig", "iShmIdConfig"},
    {'s', "SCHEDULE", &ProcInfo::pShmSchedule, &ProcInfo::iShmIdSchedule, "pShmSchedule",
     "iShmIdSchedule"},
    {'o', "OTHER", &ProcInfo::pShmOther, &ProcInfo::iShmIdOther, "pShmOther", "iShmIdOther"},
    {'r', "CONTROLLER", &ProcInfo::pShmController, &ProcInfo::iShmIdController, "pShmController",
     "iShmIdController"},
    {'i', "CONFIGIMG", &ProcInfo::pShmConfigImg, &ProcInfo::iShmIdConfigImg, "pShmConfigImg",
     "iShmIdConfigImg"},
    {'p', "PROCSTATE", &ProcInfo::pShmProcState, &ProcInfo::iShmIdProcState, "pShmProcState",
     "iShmIdProcState"},
    {'m', "MEMCTLDATA", &ProcInfo::pShmMemCtlData, &ProcInfo::iShmIdMemCtlData, "pShmMemCtlData",
     "iShmIdMemCtlData"},
}};
static_assert(kShmRows.size() <= 32, "uShmIdRecorded has a bit per row");
static_assert(kShmRows[0].iProjId == KVO_CONFIG_PROJ_ID && kShmRows[2].iProjId == KVO_OTHER_PROJ_ID,
              "CONFIG and OTHER rows use the ids of their layout");

unsigned long Addr(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

// The row a key denotes, or nullptr.  ftok is asked afresh for every row, so
// a key file that was replaced takes effect at once; a missing key file
// makes every ftok -1, which a key of -1 then matches at the first row.
const ShmRow *ShmRowOf(key_t key)
{
    const char *pKeyFile = KvoPath(KVO_PATH_SHM_KEY);
    errno = 0;
    for (const ShmRow &row : kShmRows)
        if (ftok(pKeyFile, row.iProjId) == key)
            return &row;
    return nullptr;
}

unsigned int RowBit(const ShmRow *pRow)
{
    return 1u << static_cast<unsigned>(pRow - kShmRows.data());
}

bool IsCardMasterKey(key_t key)
{
    errno = 0;
    return ComShmKey(kCardMasterProjId) == key;
}

// shmget with the open-for-reading flags, then a read-only attach; shared by
// ComShmOpenRead and ComCardMasterShmOpenRead, which log alike up to here.
void *GetAndAttachRead(key_t key, size_t size, int *pShmId)
{
    errno = 0;
    int iShmId = shmget(key, size, kShmReadFlags);
    if (iShmId == -1) {
        ComLog(LOG_INFO, "error of shmget(iShmId=%d, errno=%d)\n", iShmId, errno);
        return KVO_SHM_FAILED;
    }
    ComLog(LOG_DEBUG, "success of shmget(iShmId=%d)\n", iShmId);
    errno = 0;
    void *pShared = shmat(iShmId, nullptr, SHM_RDONLY);
    if (pShared == KVO_SHM_FAILED) {
        ComLog(LOG_INFO, "error of shmat(iShmId=%d, errno=%d)\n", iShmId, errno);
        return KVO_SHM_FAILED;
    }
    ComLog(LOG_DEBUG, "success of shmat(iShmId=%d)\n", iShmId);
    *pShmId = iShmId;
    return pShared;
}

int Create(key_t key, size_t size)
{
    errno = 0;
    int iShmId = shmget(key, size, kShmCreatFlags);
    if (iShmId == -1) {
        ComLog(LOG_INFO, "error of shmget(key=%d, errno=%d)\n", static_cast<int>(key), errno);
        return -1;
    }
    ComLog(LOG_DEBUG, "success of shmget(key=%d)\n", static_cast<int>(key));
    ComLog(LOG_DEBUG, "success of shmget(iShmId=%d)\n", iShmId);
    return iShmId;
}

void *AttachRw(int iShmId)
{
    errno = 0;
    void *pShared = shmat(iShmId, nullptr, 0);
    if (pShared == KVO_SHM_FAILED) {
        ComLog(LOG_INFO, "error of shmat(iShmId=%d, errno=%d)\n", iShmId, errno);
        return KVO_SHM_FAILED;
    }
    ComLog(LOG_DEBUG, "success of shmat(iShmId=%d)\n", iShmId);
    return pShared;
}

} // namespace

extern "C" key_t ComShmKey(int iProjId)
{
    return ftok(KvoPath(KVO_PATH_SHM_KEY), iProjId);
}

extern "C" int ComShmCreat(ProcInfo *pProcInfo, key_t key, size_t size)
{
    ComLog(LOG_DEBUG, "start of ComShmCreat()\n");
    int iShmId = Create(key, size);
    if (iShmId == -1)
        return -1;
    // The segment exists from here on, even if the key turns out to be
    // none of ours.
    const ShmRow *pRow = ShmRowOf(key);
    if (pRow == nullptr) {
        ComLog(LOG_INFO, "error of ComShmCreat(ftok())\n");
        return -1;
    }
    pProcInfo->*(pRow->pId) = iShmId;
    pProcInfo->uShmIdRecorded |= RowBit(pRow);
    ComLog(LOG_DEBUG, "shmat(pProcInfo->%s = %d)\n", pRow->pIdName, iShmId);
    ComLog(LOG_DEBUG, "end of ComShmCreat()\n");
    return iShmId;
}

extern "C" void *ComShmOpenRw(ProcInfo *pProcInfo, key_t key, int iShmId)
{
    ComLog(LOG_DEBUG, "start of ComShmOpenRw()\n");
    void *pShared = AttachRw(iShmId);
    if (pShared == KVO_SHM_FAILED)
        return KVO_SHM_FAILED;
    ComLog(LOG_INFO, "success of shmat(pShared=0x%lx)\n", Addr(pShared));
    const ShmRow *pRow = ShmRowOf(key);
    if (pRow == nullptr) {
        ComLog(LOG_INFO, "error of ComShmOpenRw(ftok())\n");
        return KVO_SHM_FAILED;
    }
    pProcInfo->*(pRow->pAddr) = pShared;
    ComLog(LOG_DEBUG, "shmat(pProcInfo->%s = 0x%lx)\n", pRow->pAddrName, Addr(pShared));
    ComLog(LOG_DEBUG, "end of ComShmOpenRw()\n");
    return pShared;
}

extern "C" void *ComShmOpenRead(ProcInfo *pProcInfo, key_t key, size_t size)
{
    ComLog(LOG_DEBUG, "start of ComShmOpenRead()\n");
    int iShmId = -1;
    void *pShared = GetAndAttachRead(key, size, &iShmId);
    if (pShared == KVO_SHM_FAILED)
        return KVO_SHM_FAILED;
    ComLog(LOG_INFO, "success of shmat(pShared=0x%lx)\n", Addr(pShared));
    const ShmRow *pRow = ShmRowOf(key);
    if (pRow == nullptr) {
        ComLog(LOG_INFO, "error of ComShmOpenRead(ftok())\n");
        return KVO_SHM_FAILED;
    }
    pProcInfo->*(pRow->pAddr) = pShared;
    pProcInfo->*(pRow->pId) = iShmId;
    pProcInfo->uShmIdRecorded |= RowBit(pRow);
    ComLog(LOG_DEBUG, "shmat(pProcInfo->%s = 0x%lx)\n", pRow->pAddrName, Addr(pShared));
    ComLog(LOG_DEBUG, "shmat(pProcInfo->%s = %d)\n", pRow->pIdName, iShmId);
    ComLog(LOG_DEBUG, "end of ComShmOpenRead()\n");
    return pShared;
}

extern "C" int ComShmClose(ProcInfo *pProcInfo, key_t key)
{
    ComLog(LOG_DEBUG, "start of ComShmClose()\n");
    const ShmRow *pRow = ShmRowOf(key);
    if (pRow == nullptr) {
        ComLog(LOG_INFO, "error of ComShmClose(ftok())\n");
        return -1;
    }
    // The field keeps the address after the detach; callers must not use it.
    void *pShared = pProcInfo->*(pRow->pAddr);
    ComLog(LOG_DEBUG, "%s(pShared = 0x%lx)\n", pRow->pTag, Addr(pShared));
    errno = 0;
    if (shmdt(pShared) == -1) {
        ComLog(LOG_INFO, "error of shmdt(errno=%d)\n", errno);
        return -1;
    }
    ComLog(LOG_DEBUG, "success of shmdt\n");
    ComLog(LOG_DEBUG, "end of ComShmClose()\n");
    return 0;
}

extern "C" int ComShmRm(ProcInfo *pProcInfo, key_t key)
{
    ComLog(LOG_DEBUG, "start of ComShmRm()\n");
    const ShmRow *pRow = ShmRowOf(key);
    if (pRow == nullptr) {
        ComLog(LOG_INFO, "error of ComShmRm(ftok())\n");
        return -1;
    }
    // 0 is a valid segment id, so the id field alone cannot tell whether this
    // process ever learnt the id; without the bit the call could remove a
    // segment that belongs to another module.
    if ((pProcInfo->uShmIdRecorded & RowBit(pRow)) == 0) {
        ComLog(LOG_INFO, "error of ComShmRm(no segment id recorded)\n");
        return -1;
    }
    int iShmId = pProcInfo->*(pRow->pId);
    ComLog(LOG_DEBUG, "%s(iShmId = %d)\n", pRow->pTag, iShmId);
    errno = 0;
    if (shmctl(iShmId, IPC_RMID, nullptr) == -1) {
        ComLog(LOG_INFO, "error of shmctl(errno=%d)\n", errno);
        return -1;
    }
    ComLog(LOG_DEBUG, "success of shmctl\n");
    ComLog(LOG_DEBUG, "end of ComShmRm()\n");
    return 0;
}

extern "C" void *ComShmRwGet(ProcInfo *pProcInfo, key_t key, size_t size)
{
    ComLog(LOG_DEBUG, "start of ComShmRwGet()\n");
    int iShmId = ComShmCreat(pProcInfo, key, size);
    if (iShmId == -1) {
        ComLog(LOG_INFO, "error of ComShmCreat()\n");
        return KVO_SHM_FAILED;
    }
    ComLog(LOG_DEBUG, "success of ComShmCreat()\n");
    ComLog(LOG_DEBUG, "iShmId = %d\n", iShmId);
    // A failed attach leaves the segment created and its id recorded.
    void *pRet = ComShmOpenRw(pProcInfo, key, iShmId);
    if (pRet == KVO_SHM_FAILED) {
        ComLog(LOG_INFO, "error of ComShmOpenRw()\n");
        return KVO_SHM_FAILED;
    }
    ComLog(LOG_DEBUG, "success of ComShmOpenRw()\n");
    ComLog(LOG_DEBUG, "pRet(SEG_PROC_KEY) = 0x%lx\n", Addr(pRet));
    ComLog(LOG_DEBUG, "end of ComShmRwGet()\n");
    return pRet;
}

extern "C" int ComShmRwFree(ProcInfo *pProcInfo, key_t key)
{
    ComLog(LOG_DEBUG, "start of ComShmRwFree()\n");
    if (ComShmClose(pProcInfo, key) == -1) {
        ComLog(LOG_INFO, "error of ComShmClose()\n");
        return -1;
    }
    ComLog(LOG_DEBUG, "success of ComShmClose()\n");
    ComLog(LOG_DEBUG, "end of ComShmRwFree()\n");
    return 0;
}

// The card-master family: the caller's record is taken by value only and
// never touched; the id or address reaches the caller as the result alone.

extern "C" int ComCardMasterShmCreat(void *pStCardMst, key_t key, size_t size)
{
    (void)pStCardMst;
    ComLog(LOG_DEBUG, "start of ComCardMasterShmCreat()\n");
    int iShmId = Create(key, size);
    if (iShmId == -1)
        return -1;
    if (!IsCardMasterKey(key)) {
        ComLog(LOG_INFO, "error of ComCardMasterShmCreat(ftok())\n");
        return -1;
    }
    ComLog(LOG_INFO, "shmat(pStCardMst = %d)\n", iShmId);
    ComLog(LOG_DEBUG, "end of ComCardMasterShmCreat()\n");
    return iShmId;
}

extern "C" void *ComCardMasterShmOpenRw(void *pStCardMst, key_t key, int iShmId)
{
    (void)pStCardMst;
    ComLog(LOG_DEBUG, "start of ComCardMasterShmOpenRw()\n");
    void *pShared = AttachRw(iShmId);
    if (pShared == KVO_SHM_FAILED)
        return KVO_SHM_FAILED;
    ComLog(LOG_DEBUG, "success of shmat(pShared=0x%lx)\n", Addr(pShared));
    if (!IsCardMasterKey(key)) {
        ComLog(LOG_INFO, "error of ComCardMasterShmOpenRw(ftok())\n");
        return KVO_SHM_FAILED;
    }
    ComLog(LOG_INFO, "shmat(pStCardMst = 0x%lx)\n", Addr(pShared));
    ComLog(LOG_DEBUG, "end of ComCardMasterShmOpenRw()\n");
    return pShared;
}

extern "C" void *ComCardMasterShmOpenRead(void *pStCardMst, key_t key, size_t size)
{
    (void)pStCardMst;
    ComLog(LOG_DEBUG, "start of ComCardMasterShmOpenRead()\n");
    int iShmId = -1;
    void *pShared = GetAndAttachRead(key, size, &iShmId);
    if (pShared == KVO_SHM_FAILED)
        return KVO_SHM_FAILED;
    ComLog(LOG_DEBUG, "success of shmat(pShared=0x%lx)\n", Addr(pShared));
    if (!IsCardMasterKey(key)) {
        ComLog(LOG_INFO, "error of ComCardMasterShmOpenRead(ftok())\n");
        return KVO_SHM_FAILED;
    }
    ComLog(LOG_DEBUG, "shmat(pStCardMst = 0x%lx)\n", Addr(pShared));
    ComLog(LOG_DEBUG, "end of ComCardMasterShmOpenRead()\n");
    return pShared;
}
