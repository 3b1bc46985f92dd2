// hostile_test.cpp - the real service under hostile conditions: peers whose
// FIFOs vanish, turn into regular files, fill up or are never read; storms
// of stray signals; command writers that come and go; descriptors near the
// 1024 limit of a descriptor set and tight descriptor limits.  In every case
// the service must stay alive and answer, or refuse to start with status 1;
// it must never die by a signal, hang, write where no FIFO is, or leak.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "crkeyemu.h"
#include "rig.h"

namespace {

using rig::P_DISP;
using rig::P_PARE;
using rig::P_STS;
using rig::P_STSP;

constexpr int kAnswerMs = 5000; // generous: also under the sanitizers

class Hostile : public ::testing::Test {
protected:
    void Boot(rig::Options opt = {})
    {
        opt.service = KVO_GDBT_BINARY;
        rig_ = std::make_unique<rig::Rig>(opt);
        ASSERT_TRUE(rig_->Prepare()) << rig_->Error();
        ASSERT_TRUE(rig_->Start());
        ASSERT_TRUE(rig_->WaitCount(P_STSP, CMDID_WAKEUP_COMP, 1, 10000)) << rig_->Log();
        fdsAtStart_ = rig_->FdCount();
    }

    // 901 is answered with a 621: the service is alive and reading.
    void ExpectAlive()
    {
        size_t before = rig_->Count(P_STS, CMDID_ALIVE_ANS);
        ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_ALIVE_REQ));
        EXPECT_TRUE(rig_->WaitCount(P_STS, CMDID_ALIVE_ANS, before + 1, kAnswerMs)) << rig_->Log();
    }

    // 900: termination report, exit status 0, and no descriptor more than
    // after start-up along the way.
    void ExpectOrderlyEnd()
    {
        rig::SleepMs(100);
        EXPECT_LE(rig_->FdCount(), fdsAtStart_);
        for (const std::string &t : rig_->FdTargets())
            EXPECT_TRUE(t.find("/tmp/pipe/Fifo") == std::string::npos || t.find("FifoGdbt") != std::string::npos)
                << "descriptor left open: " << t;
        auto d = rig::Data({0});
        ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_TERMINATE, d.data(), d.size()));
        rig::Exit ex = rig_->Wait(10000);
        EXPECT_TRUE(ex.exited && ex.status == 0) << "signal " << ex.signal << " killed " << ex.killed << "\n"
                                                 << rig_->Log();
    }

    int LogCount(const std::string &text)
    {
        std::string log = rig_->Log();
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }

    std::unique_ptr<rig::Rig> rig_;
    int fdsAtStart_ = 0;
};

TEST_F(Hostile, PeerFifoRemovedThenRestored)
{
    Boot();
    rig_->StopPeer(P_STS);
    ASSERT_EQ(unlink(rig_->Path(P_STS).c_str()), 0);
    ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_ALIVE_REQ));
    // The failed send is reported; nothing is created in the FIFO's place.
    long long deadline = rig::NowMs() + kAnswerMs;
    // All three attempts must have failed before the FIFO comes back, or a
    // late attempt would deliver this answer after all.
    while (LogCount("FIFO read open error (fifo=" + rig_->Path(P_STS)) < 3 && rig::NowMs() < deadline)
        rig::SleepMs(20);
    EXPECT_EQ(LogCount("FIFO read open error (fifo=" + rig_->Path(P_STS)), 3) << rig_->Log();
    struct stat st;
    EXPECT_NE(lstat(rig_->Path(P_STS).c_str(), &st), 0) << "something was created at the FIFO's path";
    ASSERT_EQ(mkfifo(rig_->Path(P_STS).c_str(), 0666), 0);
    ASSERT_TRUE(rig_->ResumePeer(P_STS));
    ExpectAlive();
    EXPECT_EQ(rig_->Count(P_STS, CMDID_ALIVE_ANS), 1u);
    ExpectOrderlyEnd();
}

TEST_F(Hostile, PeerFifoReplacedByRegularFile)
{
    Boot();
    rig_->StopPeer(P_STS);
    ASSERT_EQ(unlink(rig_->Path(P_STS).c_str()), 0);
    int fd = open(rig_->Path(P_STS).c_str(), O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    close(fd);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_ALIVE_REQ));
    // 902 goes to another FIFO: once it is answered, the 901s were handled.
    ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_WAKEUP_REQ));
    ASSERT_TRUE(rig_->WaitCount(P_STSP, CMDID_WAKEUP_COMP, 2, kAnswerMs)) << rig_->Log();
    struct stat st;
    ASSERT_EQ(stat(rig_->Path(P_STS).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << "a frame was appended to a regular file";
    EXPECT_GE(LogCount("fifo=" + rig_->Path(P_STS)), 3) << rig_->Log();
    ExpectOrderlyEnd();
}

TEST_F(Hostile, PeerFifoFullSendsAreBoundedAndNeverDuplicated)
{
    Boot();
    rig_->PausePeer(P_STS, true);
    // 64 KiB of FIFO hold 256 frames; beyond that every send must give up
    // within its bound, and the service must go on serving other peers.
    const int sent = 262;
    for (int i = 0; i < sent; ++i)
        ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_ALIVE_REQ));
    ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_WAKEUP_REQ));
    long long t0 = rig::NowMs();
    ASSERT_TRUE(rig_->WaitCount(P_STSP, CMDID_WAKEUP_COMP, 2, 60000)) << rig_->Log();
    // Six sends over the capacity, each bounded by its budget (1 s).
    EXPECT_LT(rig::NowMs() - t0, 30000);
    rig_->PausePeer(P_STS, false);
    ASSERT_TRUE(rig_->WaitCount(P_STS, CMDID_ALIVE_ANS, 256, kAnswerMs));
    rig::SleepMs(200);
    size_t got = rig_->Count(P_STS, CMDID_ALIVE_ANS);
    EXPECT_GE(got, 256u);
    EXPECT_LE(got, static_cast<size_t>(sent));
    EXPECT_EQ(rig_->Stray(P_STS), 0u);
    EXPECT_GE(LogCount("FIFO write error (fifo=" + rig_->Path(P_STS)), static_cast<int>(sent - got));
    ExpectAlive();
    ExpectOrderlyEnd();
}

TEST_F(Hostile, PeerThatNeverReads)
{
    Boot();
    rig_->StopPeer(P_STS); // the FIFO exists, nobody has it open
    ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_ALIVE_REQ));
    ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_WAKEUP_REQ));
    ASSERT_TRUE(rig_->WaitCount(P_STSP, CMDID_WAKEUP_COMP, 2, kAnswerMs)) << rig_->Log();
    EXPECT_GE(LogCount("FIFO write open error (fifo=" + rig_->Path(P_STS)), 1) << rig_->Log();
    ASSERT_TRUE(rig_->ResumePeer(P_STS));
    ExpectAlive();
    ExpectOrderlyEnd();
}

// Signals from elsewhere (kill: no timer value) and SIGPIPE do nothing: the
// service keeps answering, and a hold still takes its twelve polls.
TEST_F(Hostile, StrayUsr1AndPipeSignalStorm)
{
    rig::Options opt;
    opt.parentMode = 1;
    Boot(opt);
    for (int i = 0; i < 2000; ++i) {
        kill(rig_->Pid(), SIGUSR1);
        kill(rig_->Pid(), SIGPIPE);
    }
    ExpectAlive();
    long long t0 = rig::NowMs();
    CrKeyEmuPress(rig_->Device());
    for (int i = 0; i < 500; ++i) {
        kill(rig_->Pid(), SIGUSR1);
        kill(rig_->Pid(), SIGPIPE);
        if (i % 50 == 0)
            rig::SleepMs(20);
    }
    ASSERT_TRUE(rig_->WaitCount(P_PARE, CMDID_GUARD_REQ, 1, 15000)) << rig_->Log();
    EXPECT_GE(rig::NowMs() - t0, 2500) << "stray signals shortened the hold";
    CrKeyEmuRelease(rig_->Device());
    EXPECT_EQ(rig_->Count(P_PARE, CMDID_GUARD_REQ), 1u);
    EXPECT_EQ(rig_->Count(P_PARE, CMDID_GDBT_PRESS), 1u);
    ExpectAlive();
    ExpectOrderlyEnd();
}

// A SIGUSR1 queued by another process with the value of the hold timer's
// slot must not pass for a timer expiry: taken as polls, a storm of them
// would complete a hold long before three seconds.
TEST_F(Hostile, ForgedTimerValueDoesNotShortenHold)
{
    rig::Options opt;
    opt.parentMode = 1;
    Boot(opt);
    long long t0 = rig::NowMs();
    CrKeyEmuPress(rig_->Device());
    rig::SleepMs(100);
    union sigval v;
    v.sival_int = 100; // slot 0
    for (int i = 0; i < 40; ++i) {
        sigqueue(rig_->Pid(), SIGUSR1, v);
        rig::SleepMs(5);
    }
    ASSERT_TRUE(rig_->WaitCount(P_PARE, CMDID_GUARD_REQ, 1, 15000)) << rig_->Log();
    EXPECT_GE(rig::NowMs() - t0, 2500) << "forged timer signals completed the hold early";
    CrKeyEmuRelease(rig_->Device());
    ExpectOrderlyEnd();
}

// Peers open the command FIFO, write one frame and close it again; between
// them no process but the service has it open.  Every frame is answered and
// the idle service does not spin on end of file.
TEST_F(Hostile, CommandWritersComeAndGo)
{
    Boot();
    rig_->CloseCommandWriter();
    std::string path = rig_->CommandPath();
    unsigned char frame[256];
    memset(frame, ' ', sizeof frame);
    memcpy(frame, "080901", 6);
    for (int i = 0; i < 50; ++i) {
        int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, frame, sizeof frame), 256);
        close(fd);
        if (i % 10 == 9)
            rig::SleepMs(50);
    }
    ASSERT_TRUE(rig_->WaitCount(P_STS, CMDID_ALIVE_ANS, 50, kAnswerMs)) << rig_->Log();
    long cpu0 = rig_->CpuMs();
    rig::SleepMs(1000);
    EXPECT_LT(rig_->CpuMs() - cpu0, 300) << "the service spins while no writer has its FIFO open";
    EXPECT_EQ(rig_->Count(P_STS, CMDID_ALIVE_ANS), 50u);
    ASSERT_TRUE(rig_->OpenCommandWriter());
    ExpectOrderlyEnd();
}

// The service's own descriptors land just below, at and above 1023, the
// last one a descriptor set holds: it must either serve fully or refuse to
// start (status 1); never run deaf to its FIFO or its timer.
class NearFdLimit : public Hostile, public ::testing::WithParamInterface<int> {};

TEST_P(NearFdLimit, ServesFullyOrRefuses)
{
    rig::Options opt;
    opt.service = KVO_GDBT_BINARY;
    opt.parentMode = 1;
    opt.inheritFds = GetParam();
    opt.fdLimit = 2048;
    rig_ = std::make_unique<rig::Rig>(opt);
    ASSERT_TRUE(rig_->Prepare()) << rig_->Error();
    ASSERT_TRUE(rig_->Start());
    bool started = rig_->WaitCount(P_STSP, CMDID_WAKEUP_COMP, 1, 10000);
    ASSERT_TRUE(started) << rig_->Log();
    std::vector<rig::Frame> wake = rig_->Received(P_STSP);
    if (wake[0].data[2] == '1') { // start-up failed and said so
        rig::Exit ex = rig_->Wait(10000);
        EXPECT_TRUE(ex.exited && ex.status == 1) << rig_->Log();
        return;
    }
    ExpectAlive();
    // A device descriptor that no set can hold leaves the service serving
    // commands only, as after a failed device open; it must say so.
    if (rig_->Log().find("serving commands only") == std::string::npos) {
        CrKeyEmuPress(rig_->Device());
        EXPECT_TRUE(rig_->WaitCount(P_PARE, CMDID_GUARD_REQ, 1, 15000)) << "hold not timed\n" << rig_->Log();
        CrKeyEmuRelease(rig_->Device());
    }
    auto d = rig::Data({0});
    ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_TERMINATE, d.data(), d.size()));
    rig::Exit ex = rig_->Wait(10000);
    EXPECT_TRUE(ex.exited && ex.status == 0) << rig_->Log();
}

// Inherited descriptors 3 .. N+2; the service's own follow.
INSTANTIATE_TEST_SUITE_P(Hardening, NearFdLimit, ::testing::Values(1000, 1012, 1015, 1016, 1017, 1018, 1020, 1030));

// A descriptor limit so tight that some step fails: status 1 with the
// failure reported, or a service that still ends on 900; never a crash or a
// hang.  (Below 6 the loader itself cannot start the program.)
class TightFdLimit : public Hostile, public ::testing::WithParamInterface<int> {};

TEST_P(TightFdLimit, StartsOrRefusesAndAlwaysEnds)
{
    rig::Options opt;
    opt.service = KVO_GDBT_BINARY;
    opt.fdLimit = GetParam();
    opt.device = false; // the emulation's preload needs descriptors of its own
    rig_ = std::make_unique<rig::Rig>(opt);
    ASSERT_TRUE(rig_->Prepare()) << rig_->Error();
    ASSERT_TRUE(rig_->Start());
    rig_->WaitCount(P_STSP, CMDID_WAKEUP_COMP, 1, 3000);
    if (!rig_->Running()) {
        rig::Exit ex = rig_->Wait(1000);
        EXPECT_TRUE(ex.exited && ex.status == 1) << "signal " << ex.signal << "\n" << rig_->Log();
        EXPECT_NE(rig_->Log().find("initProc error"), std::string::npos) << rig_->Log();
        return;
    }
    auto d = rig::Data({0});
    ASSERT_TRUE(rig_->Send(MODID_STS, CMDID_TERMINATE, d.data(), d.size()));
    rig::Exit ex = rig_->Wait(15000);
    EXPECT_TRUE(ex.exited && (ex.status == 0 || ex.status == 1))
        << "signal " << ex.signal << " killed " << ex.killed << "\n" << rig_->Log();
}

INSTANTIATE_TEST_SUITE_P(Hardening, TightFdLimit, ::testing::Range(6, 13));

} // namespace
