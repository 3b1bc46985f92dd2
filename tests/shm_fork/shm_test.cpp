// Shared-memory segments: real System V segments under a private key file.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>

#include "kvoroot.h"
#include "logcapture.h"
#include "shmfork.h"

namespace {

constexpr size_t kSize = 256;

class ShmTest : public testing::Test {
protected:
    KvoRoot root_;
    ShmCleanup shm_; // after root_: removed while the key file still exists
    LogCapture log_;
    std::unique_ptr<ProcInfo> pi_ = NewProcInfo();

    key_t Key(int projId) { return shm_.Add(ComShmKey(projId)); }
    bool RecordIs(const ProcInfo &expected) const
    {
        return std::memcmp(pi_.get(), &expected, sizeof expected) == 0;
    }
};

// A write through a read-only attachment must end the writer with SIGSEGV.
int StatusOfWriteInChild(void *p)
{
    pid_t pid = fork();
    if (pid == 0) {
        rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        signal(SIGSEGV, SIG_DFL); // past any sanitizer's handler
        *static_cast<volatile char *>(p) = 'x';
        _exit(0);
    }
    return WaitChild(pid);
}

TEST_F(ShmTest, SegmentLifeFromCreateToRemove)
{
    key_t key = Key('s');
    int id = ComShmCreat(pi_.get(), key, kSize);
    ASSERT_GE(id, 0) << log_.Dump();
    EXPECT_EQ(pi_->iShmIdSchedule, id);

    void *rw = ComShmOpenRw(pi_.get(), key, id);
    ASSERT_NE(rw, KVO_SHM_FAILED) << log_.Dump();
    EXPECT_EQ(pi_->pShmSchedule, rw);
    std::array<char, 16> pattern{"module segment"};
    std::memcpy(rw, pattern.data(), pattern.size());

    void *ro = ComShmOpenRead(pi_.get(), key, kSize);
    ASSERT_NE(ro, KVO_SHM_FAILED) << log_.Dump();
    EXPECT_NE(ro, rw);
    EXPECT_EQ(pi_->pShmSchedule, ro); // the newer attachment replaces the older
    EXPECT_EQ(pi_->iShmIdSchedule, id);
    EXPECT_EQ(std::memcmp(ro, pattern.data(), pattern.size()), 0);
    static_cast<char *>(rw)[100] = 'z'; // one memory: seen through both
    EXPECT_EQ(static_cast<const volatile char *>(ro)[100], 'z');
    EXPECT_EQ(log_.Count("success of shmat(pShared=" + Hex(rw) + ")\n", LOG_INFO), 1);
    EXPECT_EQ(log_.Count("success of shmat(pShared=" + Hex(ro) + ")\n", LOG_INFO), 1);

    int status = StatusOfWriteInChild(ro);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "status " << status;
    EXPECT_NE(static_cast<const char *>(ro)[0], 'x');

    ASSERT_EQ(AttachCount(key), 2);
    EXPECT_EQ(ComShmClose(pi_.get(), key), 0) << log_.Dump();
    EXPECT_EQ(AttachCount(key), 1); // the read-only one went, the other stays
    EXPECT_TRUE(log_.Has("SCHEDULE(pShared = " + Hex(ro) + ")\n", LOG_DEBUG));
    EXPECT_EQ(pi_->pShmSchedule, ro);
    ASSERT_EQ(shmdt(rw), 0);

    EXPECT_EQ(ComShmRm(pi_.get(), key), 0) << log_.Dump();
    EXPECT_TRUE(log_.Has("SCHEDULE(iShmId = " + std::to_string(id) + ")\n", LOG_DEBUG));
    EXPECT_TRUE(log_.Has("success of shmctl\n", LOG_DEBUG));
    EXPECT_FALSE(SegmentExists(key));
    EXPECT_EQ(pi_->iShmIdSchedule, id);
}

TEST_F(ShmTest, RwGetRwFreeAndRemove)
{
    key_t key = Key('c');
    void *p = ComShmRwGet(pi_.get(), key, kSize);
    ASSERT_NE(p, KVO_SHM_FAILED) << log_.Dump();
    int id = pi_->iShmIdConfig;
    EXPECT_EQ(pi_->pShmConfig, p);
    EXPECT_EQ(id, shmget(key, 0, 0));
    static_cast<char *>(p)[kSize - 1] = 1; // writable
    EXPECT_TRUE(log_.Has("success of ComShmCreat()\n", LOG_DEBUG));
    EXPECT_TRUE(log_.Has("iShmId = " + std::to_string(id) + "\n", LOG_DEBUG));
    EXPECT_TRUE(log_.Has("pRet(SEG_PROC_KEY) = " + Hex(p) + "\n", LOG_DEBUG));

    EXPECT_EQ(ComShmRwFree(pi_.get(), key), 0);
    EXPECT_TRUE(log_.Has("success of ComShmClose()\n", LOG_DEBUG));
    EXPECT_EQ(AttachCount(key), 0);
    EXPECT_EQ(ComShmRm(pi_.get(), key), 0);
    EXPECT_FALSE(SegmentExists(key));
    EXPECT_EQ(pi_->pShmConfig, p);
    EXPECT_EQ(pi_->iShmIdConfig, id);
    EXPECT_TRUE(log_.Has("end of ComShmRwGet()\n", LOG_DEBUG));
    EXPECT_TRUE(log_.Has("end of ComShmRwFree()\n", LOG_DEBUG));
}

struct RowCase {
    int projId;
    const char *tag;
    void *ProcInfo::*addr;
    int ProcInfo::*id;
    const char *addrName;
    const char *idName;
};

constexpr std::array<RowCase, 7> kRows = {{
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

// Every row's fields, and nothing else, change for that row's key.
TEST_F(ShmTest, EachProjectIdFindsItsOwnRow)
{
    for (const RowCase &row : kRows) {
        SCOPED_TRACE(row.tag);
        auto pi = NewProcInfo();
        auto expected = NewProcInfo();
        log_.Clear();
        key_t key = Key(row.projId);

        int id = ComShmCreat(pi.get(), key, kSize);
        ASSERT_GE(id, 0);
        (*expected).*row.id = id;
        expected->uShmIdRecorded = pi->uShmIdRecorded;
        EXPECT_NE(pi->uShmIdRecorded, 0u);
        EXPECT_EQ(std::memcmp(pi.get(), expected.get(), sizeof(ProcInfo)), 0);
        EXPECT_TRUE(log_.Has("shmat(pProcInfo->" + std::string(row.idName) + " = " +
                                 std::to_string(id) + ")\n",
                             LOG_DEBUG));

        void *rw = ComShmOpenRw(pi.get(), key, id);
        ASSERT_NE(rw, KVO_SHM_FAILED);
        (*expected).*row.addr = rw;
        EXPECT_EQ(std::memcmp(pi.get(), expected.get(), sizeof(ProcInfo)), 0);
        EXPECT_TRUE(log_.Has("shmat(pProcInfo->" + std::string(row.addrName) + " = " + Hex(rw) +
                                 ")\n",
                             LOG_DEBUG));
        EXPECT_EQ(ComShmClose(pi.get(), key), 0);
        EXPECT_TRUE(log_.Has(std::string(row.tag) + "(pShared = " + Hex(rw) + ")\n", LOG_DEBUG));

        void *ro = ComShmOpenRead(pi.get(), key, kSize);
        ASSERT_NE(ro, KVO_SHM_FAILED);
        (*expected).*row.addr = ro;
        EXPECT_EQ(std::memcmp(pi.get(), expected.get(), sizeof(ProcInfo)), 0);
        EXPECT_EQ(ComShmClose(pi.get(), key), 0);

        EXPECT_EQ(ComShmRm(pi.get(), key), 0);
        EXPECT_TRUE(log_.Has(std::string(row.tag) + "(iShmId = " + std::to_string(id) + ")\n",
                             LOG_DEBUG));
        EXPECT_FALSE(SegmentExists(key));
    }
}

TEST_F(ShmTest, CardMasterKeyIsNoneOfTheSevenRows)
{
    key_t key = Key('d');
    unsigned char rec[32];
    std::memset(rec, 0xa5, sizeof rec);
    int id = ComCardMasterShmCreat(rec, key, kSize);
    ASSERT_GE(id, 0) << log_.Dump();
    const ProcInfo before = *pi_;

    // Create and attach go through, then the key is refused: the segment
    // stays created and attached, the record stays as it was.
    EXPECT_EQ(ComShmCreat(pi_.get(), key, kSize), -1);
    EXPECT_TRUE(log_.Has("error of ComShmCreat(ftok())\n", LOG_INFO));
    EXPECT_EQ(ComShmOpenRw(pi_.get(), key, id), KVO_SHM_FAILED);
    EXPECT_TRUE(log_.Has("error of ComShmOpenRw(ftok())\n", LOG_INFO));
    EXPECT_EQ(ComShmOpenRead(pi_.get(), key, kSize), KVO_SHM_FAILED);
    EXPECT_TRUE(log_.Has("error of ComShmOpenRead(ftok())\n", LOG_INFO));
    EXPECT_EQ(AttachCount(key), 2);

    // Detach and remove refuse before any system call.
    EXPECT_EQ(ComShmClose(pi_.get(), key), -1);
    EXPECT_TRUE(log_.Has("error of ComShmClose(ftok())\n", LOG_INFO));
    EXPECT_EQ(ComShmRm(pi_.get(), key), -1);
    EXPECT_TRUE(log_.Has("error of ComShmRm(ftok())\n", LOG_INFO));
    EXPECT_EQ(AttachCount(key), 2);
    EXPECT_TRUE(RecordIs(before));
}

TEST_F(ShmTest, CardMasterFamilyTakesOnlyItsKeyAndRecordsNothing)
{
    key_t key = Key('d');
    unsigned char rec[32];
    std::memset(rec, 0xa5, sizeof rec);
    unsigned char copy[32];
    std::memcpy(copy, rec, sizeof rec);

    int id = ComCardMasterShmCreat(rec, key, kSize);
    ASSERT_GE(id, 0);
    EXPECT_TRUE(log_.Has("shmat(pStCardMst = " + std::to_string(id) + ")\n", LOG_INFO));
    void *rw = ComCardMasterShmOpenRw(rec, key, id);
    ASSERT_NE(rw, KVO_SHM_FAILED);
    EXPECT_TRUE(log_.Has("shmat(pStCardMst = " + Hex(rw) + ")\n", LOG_INFO));
    static_cast<char *>(rw)[0] = 'C';
    void *ro = ComCardMasterShmOpenRead(rec, key, kSize);
    ASSERT_NE(ro, KVO_SHM_FAILED);
    EXPECT_TRUE(log_.Has("shmat(pStCardMst = " + Hex(ro) + ")\n", LOG_DEBUG));
    EXPECT_EQ(static_cast<const char *>(ro)[0], 'C');
    EXPECT_EQ(std::memcmp(rec, copy, sizeof rec), 0);

    // A key of the seven rows is not the card-master key.
    key_t other = Key('c');
    EXPECT_EQ(ComCardMasterShmCreat(rec, other, kSize), -1);
    EXPECT_TRUE(log_.Has("error of ComCardMasterShmCreat(ftok())\n", LOG_INFO));
    int otherId = shmget(other, 0, 0);
    ASSERT_GE(otherId, 0); // created all the same
    EXPECT_EQ(ComCardMasterShmOpenRw(rec, other, otherId), KVO_SHM_FAILED);
    EXPECT_TRUE(log_.Has("error of ComCardMasterShmOpenRw(ftok())\n", LOG_INFO));
    EXPECT_EQ(ComCardMasterShmOpenRead(rec, other, kSize), KVO_SHM_FAILED);
    EXPECT_TRUE(log_.Has("error of ComCardMasterShmOpenRead(ftok())\n", LOG_INFO));
    EXPECT_EQ(std::memcmp(rec, copy, sizeof rec), 0);
    EXPECT_TRUE(RecordIs(ProcInfo{}));
}

// Without the key file every ftok gives -1, which is then the first row's key.
TEST_F(ShmTest, MissingKeyFileMakesMinusOneTheConfigKey)
{
    key_t keyC = Key('c');
    key_t keyO = Key('o');
    void *p = ComShmRwGet(pi_.get(), keyC, kSize);
    ASSERT_NE(p, KVO_SHM_FAILED);
    ASSERT_EQ(std::remove(KvoPath(KVO_PATH_SHM_KEY)), 0);

    for (int projId : {'c', 's', 'o', 'r', 'i', 'p', 'm', 'd'})
        EXPECT_EQ(ComShmKey(projId), -1) << static_cast<char>(projId);
    EXPECT_EQ(ComShmClose(pi_.get(), keyO), -1);
    EXPECT_TRUE(log_.Has("error of ComShmClose(ftok())\n", LOG_INFO));

    EXPECT_EQ(ComShmClose(pi_.get(), -1), 0);
    EXPECT_TRUE(log_.Has("CONFIG(pShared = " + Hex(p) + ")\n", LOG_DEBUG));
    EXPECT_EQ(AttachCount(keyC), 0);
    EXPECT_EQ(ComShmRm(pi_.get(), -1), 0);
    EXPECT_FALSE(SegmentExists(keyC));
}

TEST_F(ShmTest, OpenReadFailsWithoutSegmentOrWhenTooLarge)
{
    key_t key = Key('o');
    EXPECT_EQ(ComShmOpenRead(pi_.get(), key, 228), KVO_SHM_FAILED);
    EXPECT_TRUE(log_.Has("error of shmget(iShmId=-1, errno=" + std::to_string(ENOENT) + ")\n",
                         LOG_INFO));

    ASSERT_GE(ComShmCreat(pi_.get(), key, 228), 0);
    const ProcInfo before = *pi_;
    EXPECT_EQ(ComShmOpenRead(pi_.get(), key, 229), KVO_SHM_FAILED);
    EXPECT_TRUE(log_.Has("error of shmget(iShmId=-1, errno=" + std::to_string(EINVAL) + ")\n",
                         LOG_INFO));
    EXPECT_TRUE(RecordIs(before));
    // Creating again with a size that fits reuses the segment.
    EXPECT_EQ(ComShmCreat(pi_.get(), key, 100), before.iShmIdOther);
}

TEST_F(ShmTest, CloseFailsForADetachedOrNeverAttachedRow)
{
    key_t key = Key('i');
    ASSERT_NE(ComShmRwGet(pi_.get(), key, kSize), KVO_SHM_FAILED);
    EXPECT_EQ(ComShmClose(pi_.get(), key), 0);
    log_.Clear();
    EXPECT_EQ(ComShmClose(pi_.get(), key), -1);
    EXPECT_TRUE(log_.Has("error of shmdt(errno=" + std::to_string(EINVAL) + ")\n", LOG_INFO));
    EXPECT_EQ(ComShmRwFree(pi_.get(), key), -1);
    EXPECT_TRUE(log_.Has("error of ComShmClose()\n", LOG_INFO));

    Key('m');
    log_.Clear();
    EXPECT_EQ(ComShmClose(pi_.get(), ComShmKey('m')), -1);
    EXPECT_TRUE(log_.Has("MEMCTLDATA(pShared = 0x0)\n", LOG_DEBUG));
    EXPECT_TRUE(log_.Has("error of shmdt(errno=" + std::to_string(EINVAL) + ")\n", LOG_INFO));
}

// A remove without an id of this process's own must not reach shmctl: the
// zero in the field is a valid id of some other segment.
TEST_F(ShmTest, RemoveRefusedWithoutRecordedId)
{
    key_t key = Key('r');
    int id = shmget(key, kSize, IPC_CREAT | 0666);
    ASSERT_GE(id, 0);
    ASSERT_NE(ComShmOpenRw(pi_.get(), key, id), KVO_SHM_FAILED); // address only

    EXPECT_EQ(ComShmRm(pi_.get(), key), -1);
    EXPECT_TRUE(log_.Has("error of ComShmRm(no segment id recorded)\n", LOG_INFO));
    EXPECT_FALSE(log_.Has("CONTROLLER(iShmId = 0)\n"));
    EXPECT_TRUE(SegmentExists(key));

    EXPECT_EQ(ComShmCreat(pi_.get(), key, kSize), id);
    EXPECT_EQ(ComShmRm(pi_.get(), key), 0);
    EXPECT_EQ(ComShmClose(pi_.get(), key), 0);
    EXPECT_FALSE(SegmentExists(key));
}

} // namespace
