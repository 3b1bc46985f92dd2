// The process phases in-process: the log mask from the command line, the
// first step of main, start-up failures and the shutdown that follows them,
// a whole start-up / main loop / shutdown over real FIFOs and segments, and
// which descriptors the main loop watches.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <cstdlib>

#include "gdbtfixture.h"

namespace {

struct MaskCase {
    const char *name;
    std::vector<const char *> args;
    int mask;
};
void PrintTo(const MaskCase &c, std::ostream *os) { *os << c.name; }


class LogMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(LogMask, IsUptoTheClampedLevel)
{
    std::vector<char *> argv;
    for (const char *a : GetParam().args)
        argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    EXPECT_EQ(GdbtLogMask(static_cast<int>(argv.size()) - 1, argv.data()), GetParam().mask);
}

INSTANTIATE_TEST_SUITE_P(
    Argv, LogMask,
    ::testing::Values(MaskCase{"Debug", {"kvogdbt", "52", "7"}, 0xff}, MaskCase{"Info", {"kvogdbt", "52", "6"}, 0x7f},
                      MaskCase{"Err", {"kvogdbt", "52", "3"}, 0x0f}, MaskCase{"Emerg", {"kvogdbt", "52", "0"}, 0x01},
                      MaskCase{"NotANumber", {"kvogdbt", "52", "debug"}, 0x01},
                      MaskCase{"Negative", {"kvogdbt", "52", "-4"}, 0x01},
                      MaskCase{"AboveDebug", {"kvogdbt", "52", "8"}, 0xff},
                      MaskCase{"Overflow", {"kvogdbt", "52", "99999999999999"}, 0xff},
                      MaskCase{"Missing", {"kvogdbt", "52"}, 0x7f}, MaskCase{"NoArguments", {"kvogdbt"}, 0x7f}),
    [](const ::testing::TestParamInfo<MaskCase> &i) { return std::string(i.param.name); });

// In a child, so that the test process keeps its own descriptors and mask.
// Exit code 0 is success; others name the failed check.
int PrepareChild()
{
    close(0);
    close(2);
    GdbtProcessPrepare();
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1)
            return 10 + fd;
    int fds[2];
    if (pipe(fds) != 0 || fds[0] < 3)
        return 20;
    struct sigaction act {};
    sigaction(SIGPIPE, nullptr, &act);
    if (act.sa_handler != SIG_IGN)
        return 21;
    close(fds[0]);
    if (write(fds[1], "x", 1) != -1 || errno != EPIPE) // no reader: fails, does not kill
        return 22;
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    if (sigismember(&mask, SIGUSR1) != 1)
        return 23;
    raise(SIGUSR1); // stays pending instead of ending the process
    return 0;
}

TEST(ProcessPrepare, StdDescriptorsSigpipeAndSigusr1)
{
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0)
        _exit(PrepareChild());
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Descriptors of this process that are open on path.
int OpenCount(const std::string &path)
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (struct dirent *e = readdir(d)) {
        char link[512];
        std::string p = std::string("/proc/self/fd/") + e->d_name;
        ssize_t len = readlink(p.c_str(), link, sizeof link - 1);
        if (len > 0 && std::string(link, static_cast<size_t>(len)) == path)
            ++n;
    }
    closedir(d);
    return n;
}

// Every line of `want` appears in `lines`, in this order.
::testing::AssertionResult InOrder(const std::vector<std::string> &lines, const std::vector<std::string> &want)
{
    size_t i = 0;
    for (const std::string &l : lines)
        if (i < want.size() && l == want[i])
            ++i;
    if (i == want.size())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "missing or out of order: " << want[i];
}

// The record as main allocates it; TermProc frees it only when it succeeds.
class Lifecycle : public GdbtTest {
protected:
    void SetUp() override
    {
        GdbtTest::SetUp();
        rec_ = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
        ASSERT_NE(rec_, nullptr);
        gdbt_ = KvoPath(KVO_PATH_FIFO_GDBT);
        sigprocmask(SIG_SETMASK, nullptr, &savedMask_);
        sigaction(SIGUSR1, nullptr, &savedUsr1_);
    }
    void TearDown() override
    {
        std::free(rec_);
        for (int id : shm_)
            shmctl(id, IPC_RMID, nullptr);
        if (gdbtFd_ >= 0)
            close(gdbtFd_);
        sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
        sigaction(SIGUSR1, &savedUsr1_, nullptr);
        pProcInfoCom = nullptr;
        GdbtTest::TearDown();
    }
    // As a peer that holds the command FIFO open for writing.
    void HoldCommandFifo()
    {
        gdbtFd_ = open(gdbt_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(gdbtFd_, 0);
    }
    bool MakeSegment(int projId, size_t size)
    {
        int id = shmget(ComShmKey(projId), size, IPC_CREAT | IPC_EXCL | 0600);
        if (id == -1)
            return false;
        shm_.push_back(id);
        return true;
    }
    int TermAndForget()
    {
        int r = TermProc(rec_);
        if (r == 0)
            rec_ = nullptr; // released by TermProc
        return r;
    }
    std::string TermReport(int result)
    {
        char d[4];
        std::snprintf(d, sizeof d, "%03d", result);
        return d;
    }

    ProcInfo *rec_ = nullptr;
    std::string gdbt_;
    int gdbtFd_ = -1;
    std::vector<int> shm_;
    sigset_t savedMask_;
    struct sigaction savedUsr1_ {};
};

TEST_F(Lifecycle, MissingCommandFifoFailsStartupAndShutdownClosesNothingOfOthers)
{
    ASSERT_EQ(unlink(gdbt_.c_str()), 0);
    EXPECT_EQ(InitProc(rec_), -1);
    EXPECT_TRUE(log_.Has("error(GdbtFifo read) of ComFifoCreate()\n", LOG_INFO));
    EXPECT_EQ(rec_->iFifoReadDes, -1);

    EXPECT_EQ(TermAndForget(), -1);
    char closeFail[300];
    std::snprintf(closeFail, sizeof closeFail, "close(fifoGdbtRead) failed(%s, errno=%d(%s))\n", gdbt_.c_str(),
                  EBADF, std::strerror(EBADF));
    EXPECT_TRUE(InOrder(Info(), {"start of TermProc\n", closeFail})) << log_.Dump();
    // The device was never reached: nothing closed, termination reported as fine.
    for (const std::string &l : Info())
        EXPECT_NE(l.rfind("00023", 0), 0u) << l;
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    ExpectSent({{KVO_PATH_FIFO_STS, CMDID_TERM_COMP, TermReport(0)}});
}

// A record that start-up never filled: its 0 descriptors are stdin, not ours.
TEST_F(Lifecycle, ShutdownOfAnUntouchedRecordClosesNoStandardDescriptor)
{
    EXPECT_EQ(TermAndForget(), -1); // nothing was attached to detach
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    EXPECT_TRUE(InOrder(Info(), {"start of TermProc\n", "error of ComShmClose()\n"})) << log_.Dump();
    ExpectSent({{KVO_PATH_FIFO_STS, CMDID_TERM_COMP, TermReport(0)}});
}

TEST_F(Lifecycle, MissingConfigFailsStartupAndShutdownDropsOwnWriter)
{
    HoldCommandFifo();
    EXPECT_EQ(InitProc(rec_), -1);
    EXPECT_TRUE(log_.Has("error of ComShmOpenRead()\n", LOG_INFO)) << log_.Dump();
    EXPECT_EQ(OpenCount(gdbt_), 3); // ours, the service's reader, its own writer

    EXPECT_EQ(TermAndForget(), -1); // detaching the never attached CONFIG fails
    EXPECT_TRUE(log_.Has("error of ComShmClose()\n", LOG_INFO));
    EXPECT_EQ(OpenCount(gdbt_), 1);
    ExpectSent({{KVO_PATH_FIFO_STS, CMDID_TERM_COMP, TermReport(0)}});
}

TEST_F(Lifecycle, MissingOtherFailsStartup)
{
    HoldCommandFifo();
    if (!MakeSegment(KVO_CONFIG_PROJ_ID, KVO_CONFIG_SIZE))
        GTEST_SKIP() << "no System V shared memory here";
    EXPECT_EQ(InitProc(rec_), -1);
    EXPECT_TRUE(log_.Has("error of ComShmOpenRead(OTHER)\n", LOG_INFO)) << log_.Dump();
    EXPECT_EQ(rec_->pConfigData, rec_->pShmConfig);
    EXPECT_EQ(TermAndForget(), -1);
}

// Start-up without a device, a loop that serves one frame while no peer
// holds the command FIFO any more, termination by the status module, and
// an orderly shutdown.
TEST_F(Lifecycle, StartRunTerminate)
{
    if (access(KVO_DEV_CR_KEY, F_OK) == 0)
        GTEST_SKIP() << "a guard-button device is present";
    HoldCommandFifo();
    if (!MakeSegment(KVO_CONFIG_PROJ_ID, KVO_CONFIG_SIZE) ||
        !MakeSegment(KVO_OTHER_PROJ_ID, KVO_OTHER_SIZE))
        GTEST_SKIP() << "no System V shared memory here";

    ASSERT_EQ(InitProc(rec_), 0) << log_.Dump();
    EXPECT_EQ(pProcInfoCom, rec_);
    EXPECT_EQ(rec_->pConfigData, rec_->pShmConfig);
    EXPECT_EQ(rec_->pOtherData, rec_->pShmOther);
    EXPECT_EQ(rec_->moduleInfo.mid, 52);
    EXPECT_EQ(rec_->iTimerCount, 1);
    EXPECT_EQ(rec_->iIoReadDes[0], -1);
    EXPECT_GT(rec_->iFifoReadDes, 2);
    ExpectEveryStartEnded(); // also InitProcSub after the failed open
    EXPECT_EQ(gstLocalInfo.iFuncFlg, 1);

    // The last peer writer leaves: the FIFO must not read as end of file.
    close(gdbtFd_);
    gdbtFd_ = -1;
    struct pollfd pfd = {rec_->iFifoReadDes, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0) << "revents " << pfd.revents;

    int w = open(gdbt_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(w, 0);
    char frame[FIFO_MSG_SIZE];
    std::memset(frame, ' ', sizeof frame);
    std::memcpy(frame, "080901", 6);
    ASSERT_EQ(write(w, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    std::memcpy(frame, "080900", 6);
    frame[6] = 0;
    ASSERT_EQ(write(w, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
    close(w);

    EXPECT_EQ(MainProc(rec_), 0);
    EXPECT_EQ(rec_->iaSelectDes[0], rec_->iFifoReadDes);
    EXPECT_EQ(rec_->iaSelectDes[1], 0); // -1 never reaches the sets

    EXPECT_EQ(TermAndForget(), 0) << log_.Dump();
    EXPECT_EQ(pProcInfoCom, nullptr);
    EXPECT_EQ(OpenCount(gdbt_), 0);
    char noDevice[200];
    std::snprintf(noDevice, sizeof noDevice, "00023,TermProcSub,close(Guard Button Driver) failed(iFifoWriteDes=0, errno=%d(%s))\n",
                  EBADF, std::strerror(EBADF));
    EXPECT_TRUE(InOrder(Info(), {"end of InitProc\n", "MainProc,guard button driver not open, serving commands only\n",
                                 "Terminate reBoot\n", "start of TermProc\n", noDevice, "end of TermProc\n"}))
        << log_.Dump();
    EXPECT_EQ(log_.Count("Select error, ret = -1\n"), 0);
    // 621 for the 901, then the report of the device close that had nothing to close
    ExpectSent({{KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, ""}, {KVO_PATH_FIFO_STS, CMDID_TERM_COMP, TermReport(1)}});
}

// MainProc over pipes: the command pipe holds a 901 and a 900; a press byte
// waits on the device pipe and is served in the first turn.
TEST_F(Lifecycle, OpenDeviceIsWatched)
{
    int dev[2];
    ASSERT_EQ(pipe(dev), 0);
    std::memcpy(rec_, &p_, sizeof p_);
    rec_->iFifoReadDes = in_[0];
    rec_->iIoReadDes[0] = dev[0];
    Queue(80, 901, "");
    Queue(80, 900, Head({1}));
    unsigned char press = 1;
    ASSERT_EQ(write(dev[1], &press, 1), 1);

    EXPECT_EQ(MainProc(rec_), 0);

    EXPECT_EQ(rec_->iaSelectDes[1], dev[0]);
    EXPECT_EQ(rec_->pSelectProc[1], &GDBTReadFunc);
    EXPECT_FALSE(log_.Has("MainProc,guard button driver not open, serving commands only\n"));
    ExpectSent({{KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, ""}, {KVO_PATH_FIFO_EK, CMDID_GDBT_PRESS, ""}});
    close(dev[0]);
    close(dev[1]);
}

} // namespace
