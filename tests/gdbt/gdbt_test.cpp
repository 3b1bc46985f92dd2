// What only the service's functions in-process show (end to end is the scenarios'):
// log level, process preparation, start-up and shutdown failures, a device that
// keeps failing, failing timer calls and reads, a loop that does not spin, the date.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gdbt.h"
#include "kvoroot.h"
#include "logcapture.h"

namespace {

// Peers hold their FIFOs; the handlers read from a pipe; fake segments.
class Gdbt : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, pipe(in));
        p.iSelectDes = in[0];
        p.pConfigData = config.data();
        p.pOtherData = other.data();
        gstLocalInfo = {GDSTS_IDLE, 1, GDBT_PUT_TIME_IDLE};
        giDeviceReadFailures = 0;
    }
    void TearDown() override
    {
        close(in[0]);
        close(in[1]);
    }
    std::vector<std::string> Info() const { return log.AtPriority(LOG_INFO); }

    KvoRoot root;
    bool made = root.MakeAllFifos();
    HeldFifo sts{KVO_PATH_FIFO_STS}, log53{KVO_PATH_FIFO_LOG}, ek{KVO_PATH_FIFO_EK};
    LogCapture log;
    ProcInfo p{};
    int in[2] = {-1, -1};
    std::array<unsigned char, KVO_CONFIG_SIZE> config{};
    std::array<unsigned char, KVO_OTHER_SIZE> other{};
};

// LOG_UPTO of argv[2] as atoi reads it, clamped into 0..7; 6 without it.
TEST(LogMask, IsUptoTheClampedLevel)
{
    const std::pair<const char *, int> cases[] = {{"7", 0xff}, {"3", 0x0f},  {"debug", 0x01}, {"-4", 0x01},
                                                  {"8", 0xff}, {"99999999999999", 0xff}, {nullptr, 0x7f}};
    for (const auto &c : cases) {
        char *argv[] = {const_cast<char *>("kvogdbt"), const_cast<char *>("52"), const_cast<char *>(c.first), nullptr};
        EXPECT_EQ(c.second, GdbtLogMask(c.first ? 3 : 2, argv)) << (c.first ? c.first : "none");
    }
    EXPECT_EQ(0x7f, GdbtLogMask(1, nullptr));
}

// In a child: descriptors 0 to 2 reopened, SIGPIPE ignored, SIGUSR1 held back.
TEST(ProcessPrepare, StdDescriptorsSigpipeAndSigusr1)
{
    pid_t pid = fork();
    if (pid == 0) {
        close(0);
        close(2);
        GdbtProcessPrepare();
        int fds[2];
        if (fcntl(0, F_GETFD) == -1 || fcntl(2, F_GETFD) == -1 || pipe(fds) != 0 || fds[0] < 3)
            _exit(1);
        close(fds[0]);
        if (write(fds[1], "x", 1) != -1 || errno != EPIPE) // no reader: fails, does not kill
            _exit(2);
        raise(SIGUSR1); // stays pending instead of ending the process
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_EQ(0, status);
}

int OpenCount(const std::string &path) // descriptors of this process open on path
{
    int n = 0;
    char link[512];
    for (int fd = 0; fd < 1024; ++fd) {
        ssize_t len = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link);
        n += len > 0 && std::string(link, static_cast<size_t>(len)) == path;
    }
    return n;
}

// The record as main allocates it; TermProc frees it only when it succeeds.
class Lifecycle : public Gdbt {
protected:
    void TearDown() override
    {
        std::free(rec);
        pProcInfoCom = nullptr;
        Gdbt::TearDown();
    }
    int Term() // and the termination report went out first
    {
        int r = TermProc(rec);
        rec = r == 0 ? nullptr : rec;
        EXPECT_EQ("052605" + Data("000"), sts.Drain());
        EXPECT_TRUE(log.Has("start of TermProc\n", LOG_INFO));
        EXPECT_NE(-1, fcntl(0, F_GETFD)); // a 0 field is stdin, never ours to close
        return r;
    }

    ProcInfo *rec = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
    const std::string gdbt = KvoPath(KVO_PATH_FIFO_GDBT);
};

// Without its FIFO start-up fails first; the shutdown closes the -1 and stops
// there, never reaching the device (no 00023).
TEST_F(Lifecycle, MissingCommandFifo)
{
    ASSERT_EQ(0, unlink(gdbt.c_str()));
    EXPECT_EQ(-1, InitProc(rec));
    EXPECT_EQ(-1, rec->iFifoReadDes);
    EXPECT_EQ(-1, Term());
    EXPECT_EQ(
        (std::vector<std::string>{"open(read) failed(" + gdbt + ", errno=2)\n",
                                  "error(GdbtFifo read) of ComFifoCreate()\n", "start of TermProc\n",
                                  "close(fifoGdbtRead) failed(" + gdbt + ", errno=9(" + strerror(EBADF) + "))\n"}),
        Info());
}

// A record start-up never filled, and one that stopped at CONFIG (its own writer
// of the command FIFO dropped): the shutdown fails at the detach.
TEST_F(Lifecycle, UntouchedRecordAndMissingConfig)
{
    EXPECT_EQ(-1, Term());
    EXPECT_EQ("error of ComShmClose()\n", Info().back());
    HeldFifo writer(gdbt.c_str());
    std::free(rec);
    rec = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
    log.Clear();
    EXPECT_EQ(-1, InitProc(rec));
    EXPECT_EQ("error of ComShmOpenRead()\n", Info().back()) << log.Dump();
    EXPECT_EQ(3, OpenCount(gdbt)); // the test's, the service's reader, its own writer
    EXPECT_EQ(-1, Term());
    EXPECT_EQ("error of ComShmClose()\n", Info().back());
    EXPECT_EQ(1, OpenCount(gdbt));
}

// A device that keeps failing is, after a run of failed reads, taken out of the
// list and the set (the others kept packed); a good byte ends a run.
TEST_F(Gdbt, DeviceThatKeepsFailingIsNoLongerWatched)
{
    giDeviceReadFailures = GDBT_DEVICE_FAIL_LIMIT - 1;
    const unsigned char press = GDBT_EVENT_PRESS;
    ASSERT_EQ(1, write(in[1], &press, 1));
    EXPECT_EQ(0, GDBTReadFunc(&p));
    EXPECT_EQ(0, giDeviceReadFailures);
    EXPECT_EQ("052356" + Data(""), ek.Drain());
    close(in[1]);
    in[1] = -1; // end of file on every read
    int idle[2];
    ASSERT_EQ(0, pipe(idle));
    p.iaSelectDes[0] = in[0];
    p.pSelectProc[0] = GDBTReadFunc;
    p.iaSelectDes[1] = idle[0];
    p.pSelectProc[1] = FifoReadFunc;
    ASSERT_EQ(0, ComSelectInit(&p));
    int turns = 0;
    for (; p.iaSelectDes[1] != 0 && turns < 100; ++turns)
        ComSelect(&p);
    EXPECT_EQ(GDBT_DEVICE_FAIL_LIMIT, turns);
    EXPECT_EQ(GDBT_DEVICE_FAIL_LIMIT, log.Count("00020,GDBTReadFunc,Error Guard Button Read Count= 0\n", LOG_INFO));
    const std::string gone = "GDBTReadFunc,guard button driver keeps failing, no longer watched(fd=";
    EXPECT_EQ(1, log.Count(gone + std::to_string(in[0]) + ")\n", LOG_INFO));
    EXPECT_TRUE(p.iaSelectDes[0] == idle[0] && p.pSelectProc[0] == FifoReadFunc);
    EXPECT_TRUE(!FD_ISSET(in[0], &p.stSelectFds) && FD_ISSET(idle[0], &p.stSelectFds));
    close(idle[0]);
    close(idle[1]);
}

// Failing hold-timer calls (no slot) are logged; a failing frame read ends the
// turn with -1; an empty one is quiet.
TEST_F(Gdbt, FailingTimerCallsAndFrameReads)
{
    gstLocalInfo.iPutTime = 3250;
    TimerStopFunc(&p);
    EXPECT_EQ(GDBT_PUT_TIME_IDLE, gstLocalInfo.iPutTime);
    TimerStartFunc(&p);
    p.iSelectDes = in[1]; // the write end: reading it fails
    EXPECT_EQ(-1, FifoReadFunc(&p));
    p.iSelectDes = in[0];
    close(in[1]);
    in[1] = -1;
    EXPECT_EQ(0, FifoReadFunc(&p));
    std::vector<std::string> ours;
    for (const std::string &l : Info())
        if (l.rfind("000", 0) == 0)
            ours.push_back(l);
    EXPECT_EQ((std::vector<std::string>{"00025,TimerStopFunc,error of ComTimerCancel\n",
                                        "00024,TimerStartFunc,error of ComTimerStart\n",
                                        "00000,FifoReadFunc,ComFIFOGetData Returned KVOERROR\n"}),
              ours)
        << log.Dump();
    EXPECT_EQ("", sts.Drain());
}

// A turn that fails every time (a folder as the command FIFO) makes the loop
// pause, doubling, from the second failure: a second of it costs little CPU.
TEST_F(Gdbt, PersistentFailuresDoNotSpinTheMainLoop)
{
    pid_t pid = fork();
    if (pid == 0) {
        p.iFifoReadDes = open(root.Dir().c_str(), O_RDONLY | O_DIRECTORY);
        MainProc(&p);
        _exit(1);
    }
    usleep(1000000);
    kill(pid, SIGKILL);
    struct rusage ru {};
    ASSERT_EQ(pid, wait4(pid, nullptr, 0, &ru));
    EXPECT_LT((ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000,
              200)
        << "ms of CPU in a second";
}

// The guard log record: today's date and time in digits, two spaces, kind 4/0,
// spaces; -1 without the log module's FIFO.
TEST_F(Gdbt, GuardLogRecordCarriesTheDate)
{
    auto today = [] {
        char s[16];
        time_t t = time(nullptr);
        struct tm tmv;
        std::strftime(s, sizeof s, "%Y%m%d", localtime_r(&t, &tmv));
        return std::string(s);
    };
    std::string before = today();
    ASSERT_EQ(0, WritePipe_GuardLog());
    const std::string d = log53.Drain(), after = today();
    ASSERT_EQ(static_cast<size_t>(FIFO_MSG_SIZE), d.size());
    EXPECT_TRUE(std::all_of(d.begin() + 6, d.begin() + 20, [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    })) << d;
    EXPECT_TRUE(before != after || d.substr(6, 8) == before) << d;
    EXPECT_EQ("052053" + d.substr(6, 14) + std::string("  \x04", 3) + std::string(1, '\0') + std::string(232, ' '), d);
    ASSERT_EQ(0, unlink(KvoPath(KVO_PATH_FIFO_LOG)));
    EXPECT_EQ(-1, WritePipe_GuardLog());
}

} // namespace
