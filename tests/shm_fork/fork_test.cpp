// Module table and process creation: real children running the argvdump
// helper, and the process-state wait against a real segment.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>

#include "kvoroot.h"
#include "logcapture.h"
#include "shmfork.h"

#ifndef KVO_ARGVDUMP
#error "KVO_ARGVDUMP names the helper that dumps its argument vector"
#endif

namespace {

const char kArgvDump[] = KVO_ARGVDUMP;

class ForkTest : public testing::Test {
protected:
    KvoRoot root_;
    ShmCleanup shm_;
    std::unique_ptr<ProcInfo> pi_ = NewProcInfo();
    std::string dump_ = root_.Dir() + "/argv.txt";

    void SetUp() override
    {
        signal(SIGCHLD, SIG_DFL);
        setenv("KVO_ARGVDUMP", dump_.c_str(), 1);
    }
    // ComProcessCreate leaves SIGCHLD ignored for the whole process.
    void TearDown() override
    {
        signal(SIGCHLD, SIG_DFL);
        unsetenv("KVO_ARGVDUMP");
    }
    // The helper's argument vector: its count, then one argument a line.
    std::vector<std::string> DumpedArgv() const { return Lines(ReadFile(dump_)); }
};

struct ArgvCase {
    int row;
    int offset;
    const char *arg;
    std::vector<std::string> tail; // argv after argv[0], as the child sees it
};

TEST_F(ForkTest, ChildSeesPathModuleIdAndExtraArgument)
{
    const ArgvCase cases[] = {
        {20, 0, "7", {"52", "7"}},
        {30, 0, "7", {"170", "7"}},    // the longest id text of the table
        {20, 0, nullptr, {"52"}},      // no extra argument: the vector ends
        {3, 5, "", {"25", ""}},        // an empty one is still passed
        {0, 919, "x", {"999", "x"}},   // the widest text that fits
        {30, -269, "x", {"-99", "x"}}, // the lowest
    };
    for (const ArgvCase &c : cases) {
        SCOPED_TRACE("row " + std::to_string(c.row) + " offset " + std::to_string(c.offset));
        std::remove(dump_.c_str());
        int pid = ComProcessCreate(pi_.get(), kArgvDump, c.row, c.offset, c.arg);
        ASSERT_GT(pid, 0);
        WaitChild(pid);
        std::vector<std::string> expected{std::to_string(c.tail.size() + 1), kArgvDump};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        EXPECT_EQ(DumpedArgv(), expected);
    }
}

TEST_F(ForkTest, ParentRecordsTheChildByRow)
{
    LogCapture log;
    pi_->iChildCount = 5;
    int pid = ComProcessCreate(pi_.get(), kArgvDump, 3, 0, "7");
    ASSERT_GT(pid, 0);
    WaitChild(pid);

    EXPECT_EQ(pi_->chldPid[3], pid);
    EXPECT_EQ(pi_->iProcessState[3], 1);
    EXPECT_EQ(pi_->pProcName[3], kArgvDump); // the caller's pointer itself
    EXPECT_EQ(pi_->iChildModId[3], 20);
    EXPECT_EQ(pi_->iChildCount, 6);
    EXPECT_EQ(pi_->iProcessState[20], 0);
    EXPECT_EQ(pi_->chldPid[20], 0);
    EXPECT_TRUE(SigChldIgnored());

    const std::string spid = std::to_string(pid);
    EXPECT_TRUE(log.Has(std::string("Procname = ") + kArgvDump + "\n", LOG_DEBUG));
    EXPECT_TRUE(log.Has(std::string("start of fork(") + kArgvDump + ")\n", LOG_DEBUG));
    EXPECT_TRUE(log.Has("fork(pid=" + spid + ")\n", LOG_DEBUG));
    EXPECT_TRUE(log.Has("fork pProcInfo->chldPid[3] = " + spid + "\n", LOG_DEBUG));
    EXPECT_TRUE(log.Has("iProcessState(3) = 1\n", LOG_DEBUG));
    EXPECT_TRUE(log.Has("fork pid = " + spid + "\n", LOG_DEBUG));
    EXPECT_TRUE(log.Has("end of ComProcessCreate()\n", LOG_DEBUG));
}

struct RefusalCase {
    int row;
    int offset;
    const char *line;
};

// Refused before anything is changed: no fork, no SIGCHLD change, and no
// id text cut to fit (or written past) its four bytes.
TEST_F(ForkTest, RefusesRowOutsideTableAndIdTextThatDoesNotFit)
{
    const RefusalCase cases[] = {
        {-1, 0, "error of ComProcessCreate(row -1 outside 0..32)\n"},
        {33, 0, "error of ComProcessCreate(row 33 outside 0..32)\n"},
        {INT_MIN, 0, "error of ComProcessCreate(row -2147483648 outside 0..32)\n"},
        {0, 920, "error of ComProcessCreate(module id 1000 outside -99..999)\n"},
        {30, -270, "error of ComProcessCreate(module id -100 outside -99..999)\n"},
        {30, INT_MAX, "error of ComProcessCreate(module id 2147483817 outside -99..999)\n"},
        {0, INT_MIN, "error of ComProcessCreate(module id -2147483568 outside -99..999)\n"},
    };
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.line);
        LogCapture log;
        EXPECT_EQ(ComProcessCreate(pi_.get(), kArgvDump, c.row, c.offset, "7"), -1);
        EXPECT_TRUE(log.Has(c.line, LOG_INFO)) << log.Dump();
        EXPECT_FALSE(log.Has(std::string("start of fork(") + kArgvDump + ")\n"));
        EXPECT_FALSE(SigChldIgnored());
        EXPECT_EQ(std::memcmp(pi_.get(), NewProcInfo().get(), sizeof(ProcInfo)), 0);
    }
    LogCapture log;
    EXPECT_EQ(ComProcessCreate(pi_.get(), nullptr, 20, 0, "7"), -1);
    EXPECT_TRUE(log.Has("error of ComProcessCreate(no program path)\n", LOG_INFO));
    EXPECT_FALSE(SigChldIgnored());
}

// Logs of a child are lost with a capture (it fills the child's own copy),
// so these tests log to a file, where each line carries its process id.
class ForkLogFile {
public:
    explicit ForkLogFile(std::string path) : path_(std::move(path))
    {
        setenv("KVO_LOG_TARGET", ("file:" + path_).c_str(), 1);
        ComLogOpen("FORKTEST", LOG_PID, LOG_LOCAL4);
    }
    ~ForkLogFile()
    {
        ComLogClose();
        unsetenv("KVO_LOG_TARGET");
    }
    bool Has(pid_t pid, int priority, const std::string &text) const
    {
        std::string line = "<" + std::to_string(LOG_LOCAL4 | priority) + ">FORKTEST[" +
                           std::to_string(pid) + "]: " + text;
        for (const std::string &l : Lines(ReadFile(path_)))
            if (l == line)
                return true;
        return false;
    }
    std::string Text() const { return ReadFile(path_); }

private:
    std::string path_;
};

// Marks each run of the code after a create call with the running pid.
void Mark(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::string line = std::to_string(getpid()) + "\n";
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
}

TEST_F(ForkTest, ChildThatCannotRunItsProgramEndsThere)
{
    const std::string missing = root_.Dir() + "/no-such-module";
    const std::string marks = root_.Dir() + "/marks";
    ForkLogFile logFile(root_.Dir() + "/log");

    int pid = ComProcessCreate(pi_.get(), missing.c_str(), 5, 0, "7");
    Mark(marks); // must run here only, never in the child
    ASSERT_GT(pid, 0);
    WaitChild(pid);

    EXPECT_EQ(ReadFile(marks), std::to_string(getpid()) + "\n");
    EXPECT_EQ(pi_->chldPid[5], pid);
    EXPECT_EQ(pi_->iProcessState[5], 1);
    EXPECT_EQ(pi_->iErrno, 0);
    EXPECT_TRUE(logFile.Has(pid, LOG_INFO, "iProcessState(5) = 0")) << logFile.Text();
    EXPECT_TRUE(logFile.Has(pid, LOG_INFO,
                            "execv failed(" + missing + ", errno=" + std::to_string(ENOENT) + ")"))
        << logFile.Text();
}

TEST_F(ForkTest, GrandChildRunsTheGivenVectorWithoutBookkeeping)
{
    char a0[PATH_MAX];
    std::snprintf(a0, sizeof a0, "%s", kArgvDump);
    char a1[] = "first";
    char a2[] = "second";
    char *const argv[] = {a0, a1, a2, nullptr};
    int pid = ComProcessCreateGrandChild(pi_.get(), kArgvDump, argv);
    ASSERT_GT(pid, 0);
    int status = WaitChild(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status; // SIGCHLD untouched
    EXPECT_EQ(DumpedArgv(), (std::vector<std::string>{"3", kArgvDump, "first", "second"}));
    EXPECT_FALSE(SigChldIgnored());
    EXPECT_EQ(std::memcmp(pi_.get(), NewProcInfo().get(), sizeof(ProcInfo)), 0);
}

TEST_F(ForkTest, GrandChildThatCannotRunItsProgramExitsWithFailure)
{
    const std::string missing = root_.Dir() + "/no-such-program";
    const std::string marks = root_.Dir() + "/marks";
    ForkLogFile logFile(root_.Dir() + "/log");
    char a0[] = "x";
    char *const argv[] = {a0, nullptr};

    int pid = ComProcessCreateGrandChild(pi_.get(), missing.c_str(), argv);
    Mark(marks);
    ASSERT_GT(pid, 0);
    int status = WaitChild(pid);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
    EXPECT_EQ(ReadFile(marks), std::to_string(getpid()) + "\n");
    EXPECT_TRUE(logFile.Has(pid, LOG_INFO,
                            "execv failed(" + missing + ", errno=" + std::to_string(ENOENT) + ")"))
        << logFile.Text();
}

struct ModuleCase {
    int id;
    uint16_t mid;
    const char *name;
};

TEST(ModuleTable, ModuleInfoCreateRecordsIdPidAndName)
{
    const ModuleCase cases[] = {
        {52, 52, "kvogdbt"}, {80, 80, "kvosts"}, {170, 170, "kvokvot"},
        {110, 110, "kvobundle"}, {99, 99, ""},   {65536 + 52, 52, "kvogdbt"}, // taken as 16 bits
    };
    for (const ModuleCase &c : cases) {
        SCOPED_TRACE(c.id);
        LogCapture log;
        auto pi = NewProcInfo();
        ComModuleInfoCreate(pi.get(), c.id);
        EXPECT_EQ(pi->moduleInfo.mid, c.mid);
        EXPECT_EQ(pi->moduleInfo.pid, getpid());
        EXPECT_STREQ(pi->moduleInfo.name, c.name);
        EXPECT_TRUE(log.Has("pProcInfo->moduleInfo.mid = " + std::to_string(c.mid) + "\n", LOG_DEBUG));
        EXPECT_TRUE(log.Has("pProcInfo->moduleInfo.pid = " + std::to_string(getpid()) + "\n", LOG_DEBUG));
        EXPECT_TRUE(log.Has("pProcInfo->moduleInfo.name = " + std::string(c.name) + "\n", LOG_DEBUG));
    }
}

TEST(ModuleTable, NameByIdFollowsTheRows)
{
    for (int row = 0; row < KVO_MODULE_COUNT; ++row)
        EXPECT_STREQ(ComModuleName(mod_id_tbl[row]), mod_name_tbl[row]) << row;
    EXPECT_EQ(mod_id_tbl[0], 80);
    EXPECT_STREQ(mod_name_tbl[20], "kvogdbt");
    EXPECT_EQ(ComModuleName(99), nullptr);
    EXPECT_EQ(ComModuleName(65536 + 52), nullptr);
    EXPECT_EQ(ComModuleName(-1), nullptr);
}

class ProcStateTest : public ForkTest {
protected:
    key_t key_ = shm_.Add(ComShmKey('p'));
};

TEST_F(ProcStateTest, FailsAtOnceWithoutTheSegment)
{
    ASSERT_FALSE(SegmentExists(key_));
    LogCapture log;
    EXPECT_EQ(ComProcStateCheck(pi_.get()), -1);
    EXPECT_TRUE(log.Has("error of ComShmOpenRead()\n", LOG_INFO));
    EXPECT_EQ(pi_->pProcStateData, nullptr);
}

TEST_F(ProcStateTest, ReturnsAtOnceWhenTheWordIsSet)
{
    int id = shmget(key_, 4, IPC_CREAT | 0666);
    ASSERT_GE(id, 0);
    void *w = shmat(id, nullptr, 0);
    ASSERT_NE(w, KVO_SHM_FAILED);
    *static_cast<int *>(w) = 5;
    LogCapture log;
    alarm(120); // a wait that never ends fails the test instead of hanging it
    EXPECT_EQ(ComProcStateCheck(pi_.get()), 0);
    alarm(0);
    EXPECT_TRUE(log.Has("pProcInfo->pProcStateData->iiProcState = 5\n", LOG_DEBUG));
    EXPECT_TRUE(log.Has("success of ComShmClose()\n", LOG_DEBUG));
    EXPECT_TRUE(log.Has("end of ComProcStateCheck()\n", LOG_DEBUG));
    EXPECT_EQ(static_cast<void *>(pi_->pProcStateData), pi_->pShmProcState);
    EXPECT_EQ(pi_->iShmIdProcState, id);
    EXPECT_EQ(AttachCount(key_), 1); // detached again
    shmdt(w);
}

// The word is set by another process only once this one is attached, so a
// logged value other than 0 proves the wait saw a later write.
TEST_F(ProcStateTest, WaitsUntilAnotherProcessSetsTheWord)
{
    int id = shmget(key_, 4, IPC_CREAT | 0666);
    ASSERT_GE(id, 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        void *w = shmat(id, nullptr, 0);
        for (int ms = 0; w != KVO_SHM_FAILED && ms < kWaitLimitMs; ms += 10) {
            if (AttachCount(key_) >= 2) { // this child and the waiting test
                usleep(120000);
                *static_cast<volatile int *>(w) = 42;
                _exit(0);
            }
            usleep(10000);
        }
        _exit(1);
    }
    LogCapture log;
    alarm(120);
    EXPECT_EQ(ComProcStateCheck(pi_.get()), 0);
    alarm(0);
    int status = WaitChild(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(log.Has("pProcInfo->pProcStateData->iiProcState = 42\n", LOG_DEBUG)) << log.Dump();
    EXPECT_TRUE(log.Has("success of ComShmClose()\n", LOG_DEBUG));
}

} // namespace
