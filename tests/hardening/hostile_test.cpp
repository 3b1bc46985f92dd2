// The service where no scenario can put it (broken peers, signal storms, descriptor limits, syslog):
// it answers or refuses to start with 1; never dies by a signal, hangs, writes where no FIFO is, or leaks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <regex>
#include <thread>

#include "board/board.h"
#include "crkeyemu.h"

namespace {

using namespace kvoboard;

constexpr KvoPathId kSts = KVO_PATH_FIFO_STS, kPare = KVO_PATH_FIFO_PARE;

class Hostile : public ::testing::Test {
protected:
    // The service ($KVO_TEST_SERVICE: the ppc stage's) started in parent mode; its start-up result.
    int Boot(Launch launch = {}, bool device = true)
    {
        const char *service = std::getenv("KVO_TEST_SERVICE");
        BoardSetup setup;
        setup.device = device;
        setup.service = launch.service = service != nullptr && *service != '\0' ? service : KVO_GDBT_BINARY;
        std::string error;
        EXPECT_TRUE(b_.Create(setup, &error)) << error;
        b_.SetGuardButton('1'), b_.SetParentMode(1);
        EXPECT_TRUE(b_.Start(launch, &error)) << error;
        int result = b_.AwaitStartup(10000);
        fdsAtStart_ = FdCount(b_.Pid());
        return result;
    }

    // 902 goes to another FIFO: once answered, the commands before it were handled.
    void AwaitHandled()
    {
        ASSERT_TRUE(b_.Send(MakeFrame(MODID_STS, CMDID_WAKEUP_REQ)));
        ASSERT_TRUE(b_.WaitCount(KVO_PATH_FIFO_STSP, CMDID_WAKEUP_COMP, 2, 60000)) << b_.LogText();
    }

    // 901 answered, no descriptor more than after start-up or on a peer's FIFO; 900: exit 0.
    void ExpectOrderlyEnd()
    {
        size_t before = b_.Count(kSts, CMDID_ALIVE_ANS);
        ASSERT_TRUE(b_.Send(MakeFrame(MODID_STS, CMDID_ALIVE_REQ)));
        EXPECT_TRUE(b_.WaitCount(kSts, CMDID_ALIVE_ANS, before + 1, 5000)) << b_.LogText();
        b_.Pump(100);
        EXPECT_LE(FdCount(b_.Pid()), fdsAtStart_);
        for (const std::string &t : FdTargets(b_.Pid()))
            EXPECT_TRUE(t.find("/tmp/pipe/Fifo") == std::string::npos || t.find("FifoGdbt") != std::string::npos)
                << "descriptor left open: " << t;
        EXPECT_EQ(b_.Stop(10000), 0) << b_.LogText();
    }

    int LogCount(const std::string &text, int n = 0)
    {
        const std::string log = b_.LogText();
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }

    Board b_;
    int fdsAtStart_ = 0;
};

// Status FIFO gone, a file, or unread: answer dropped, 3 attempts reported, nothing made there; FIFO back.
class BrokenPeer : public Hostile, public ::testing::WithParamInterface<std::string> {};

TEST_P(BrokenPeer, AnswerDroppedAndReportedServiceGoesOn)
{
    ASSERT_EQ(Boot(), 0);
    const std::string path = b_.Path(kSts);
    b_.ClosePeer(kSts);
    ASSERT_TRUE(GetParam() == "NoReader" || unlink(path.c_str()) == 0);
    if (GetParam() == "RegularFile")
        close(open(path.c_str(), O_WRONLY | O_CREAT, 0666));
    ASSERT_TRUE(b_.Send(MakeFrame(MODID_STS, CMDID_ALIVE_REQ)));
    AwaitHandled();
    EXPECT_EQ(LogCount((GetParam() == "Removed" ? "FIFO read" : "FIFO write") + (" open error (fifo=" + path)), 3)
        << b_.LogText();
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st) == 0 ? st.st_size : -1, GetParam() == "Removed" ? -1 : 0)
        << "something was created or written at the FIFO's path";
    ASSERT_TRUE(GetParam() == "NoReader" || (unlink(path.c_str()), mkfifo(path.c_str(), 0666) == 0));
    ASSERT_TRUE(b_.OpenPeer(kSts));
    ExpectOrderlyEnd();
    EXPECT_EQ(b_.Count(kSts, CMDID_ALIVE_ANS), 1u);
}

INSTANTIATE_TEST_SUITE_P(Hardening, BrokenPeer, ::testing::Values("Removed", "RegularFile", "NoReader"));

// A peer that stops reading: past 256 frames each send gives up in 1 s; no frame twice or in part.
TEST_F(Hostile, PeerFifoFullSendsAreBoundedAndNeverDuplicated)
{
    ASSERT_EQ(Boot(), 0);
    b_.PausePeer(kSts, true);
    const size_t sent = 262;
    for (size_t i = 0; i < sent; ++i)
        ASSERT_TRUE(b_.Send(MakeFrame(MODID_STS, CMDID_ALIVE_REQ)));
    int64_t t0 = NowNs();
    AwaitHandled();
    EXPECT_LT(NowNs() - t0, 30000000000);
    b_.PausePeer(kSts, false);
    ASSERT_TRUE(b_.WaitCount(kSts, CMDID_ALIVE_ANS, 256, 5000));
    b_.Pump(200);
    size_t got = b_.Count(kSts, CMDID_ALIVE_ANS);
    EXPECT_LE(got, sent);
    EXPECT_EQ(b_.Stray(kSts), 0u);
    EXPECT_GE(LogCount("FIFO write error (fifo=" + b_.Path(kSts)), static_cast<int>(sent - got));
    ExpectOrderlyEnd();
}

// Stray SIGUSR1+SIGPIPE (/0) or SIGUSR1 with the hold timer's value (/1): a hold still takes 3 s.
class StraySignals : public Hostile, public ::testing::WithParamInterface<bool> {};

TEST_P(StraySignals, DoNotShortenAHoldOrStopTheService)
{
    ASSERT_EQ(Boot(), 0);
    for (int i = 0; !GetParam() && i < 2000; ++i) // before the hold, without a pause
        kill(b_.Pid(), SIGUSR1), kill(b_.Pid(), SIGPIPE);
    int64_t t0 = NowNs();
    CrKeyEmuPress(b_.Device());
    for (int i = 0; i < (GetParam() ? 40 : 500); ++i, b_.Pump(5))
        GetParam() ? sigqueue(b_.Pid(), SIGUSR1, sigval{100}) : (kill(b_.Pid(), SIGUSR1), kill(b_.Pid(), SIGPIPE));
    ASSERT_TRUE(b_.WaitCount(kPare, CMDID_GUARD_REQ, 1, 15000)) << b_.LogText();
    EXPECT_GE(NowNs() - t0, 2500000000) << "signals from elsewhere shortened the hold";
    CrKeyEmuRelease(b_.Device());
    EXPECT_EQ(b_.Count(kPare, CMDID_GUARD_REQ), 1u);
    EXPECT_EQ(b_.Count(kPare, CMDID_GDBT_PRESS), 1u);
    ExpectOrderlyEnd();
}

INSTANTIATE_TEST_SUITE_P(Hardening, StraySignals, ::testing::Bool());

// N inherited descriptors around 1023 (a set's last) or a limit a step fails at: serve fully or exit 1.
class FdLimits : public Hostile, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(FdLimits, ServeFullyOrRefuseToStart)
{
    Launch launch;
    std::tie(launch.inheritFds, launch.fdLimit) = GetParam();
    const bool tight = launch.fdLimit < 64;
    int result = Boot(launch, !tight);
    if (!b_.Running() || (!tight && result != 0)) {
        ASSERT_TRUE(b_.WaitExit(10000));
        EXPECT_TRUE(b_.Process().Code() == 1 && b_.LogText().find("initProc error") != std::string::npos)
            << b_.LogText();
        return;
    }
    if (!tight && b_.LogText().find("serving commands only") == std::string::npos) {
        CrKeyEmuPress(b_.Device());
        EXPECT_TRUE(b_.WaitCount(kPare, CMDID_GUARD_REQ, 1, 15000)) << "hold not timed\n" << b_.LogText();
        CrKeyEmuRelease(b_.Device());
    }
    int status = b_.Stop(15000);
    EXPECT_TRUE(status == 0 || (tight && status == 1)) << "status " << status << "\n" << b_.LogText();
}

INSTANTIATE_TEST_SUITE_P(Hardening, FdLimits, ::testing::ValuesIn(std::vector<std::pair<int, int>>{{1000, 2048},
    {1012, 2048}, {1015, 2048}, {1016, 2048}, {1017, 2048}, {1018, 2048}, {1020, 2048}, {1030, 2048}, {0, 6}, {0, 7},
    {0, 8}, {0, 9}, {0, 10}, {0, 11}, {0, 12}}));

// The system log caught in a private mount namespace whose /dev/log is our socket (no device there).
TEST_F(Hostile, SyslogRecordsCarryIdentFacilityPidAndPriority)
{
    if (geteuid() != 0 || std::system("unshare -m true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and unshare -m: the service's syslog is caught in a private mount namespace";
    sockaddr_un addr{AF_UNIX, {}};
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "/tmp/kvosyslog.%d", static_cast<int>(getpid()));
    int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    timeval tick{0, 50000};
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick), 0);
    std::vector<std::string> dgrams; // drained during the run (a full queue would block it) and after
    std::atomic<bool> stopped{false};
    std::thread collector([&] {
        char buf[2048];
        for (ssize_t n; (n = recv(sock, buf, sizeof buf, 0)) > 0 || !stopped;)
            if (n > 0)
                dgrams.emplace_back(buf, static_cast<size_t>(n));
    });
    Launch launch;
    launch.level = "7", launch.log = LogTo::Syslog;
    launch.wrap = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                   "mount -t tmpfs kvo /dev && : > /dev/log && mount --bind \"$0\" /dev/log && exec \"$@\"",
                   addr.sun_path};
    EXPECT_EQ(Boot(launch, false), 0);
    EXPECT_EQ(b_.Stop(10000), 0);
    stopped = true;
    collector.join();
    close(sock), unlink(addr.sun_path);
    // "<PRI>TIMESTAMP KVOGDBT[PID]: TEXT" as the C library formats it; 00021: no device there.
    const std::regex record("<(\\d+)>.*? KVOGDBT\\[" + std::to_string(b_.Pid()) + "\\]: ([^\\n\\x00]*)[\\n\\x00]*");
    const int info = LOG_LOCAL4 | LOG_INFO;
    std::array<int, 3> seen{}; // each of these records once
    for (const std::string &dgram : dgrams) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(dgram, m, record)) << dgram;
        const int pri = std::stoi(m[1]);
        EXPECT_EQ(pri & ~7, LOG_LOCAL4) << m[2];
        seen[0] += pri == info && m[2] == "end of InitProc";
        seen[1] += pri == (LOG_LOCAL4 | LOG_DEBUG) && m[2] == "end of GdbtProcess";
        seen[2] += pri == info && m[2].str().rfind("00021,InitProcSub,", 0) == 0;
    }
    EXPECT_EQ(seen, (std::array<int, 3>{1, 1, 1}));
}

} // namespace
