// The timer signal: installation, which slot a SIGUSR1 value reaches, and
// the handler's care for errno; and the sleeps.
#include "engine_fixture.h"

#include <cerrno>
#include <unistd.h>

namespace {

int Proc(ProcInfo *)
{
    return 0;
}

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

using TimerSignal = EngineTest;

enum class Source { Timer, Queue, Kill };

struct SignalCase {
    const char *name;
    Source source; // marked as a timer expiry, sigqueue with value, or kill
    int value;
    bool start1;     // slot 1 running too (slot 0 always runs)
    int slotWritten; // -1: no pipe gets a byte
};

class TimerSignalValue : public EngineTest, public ::testing::WithParamInterface<SignalCase> {};

// A SIGUSR1 that the kernel marks as a timer expiry reaches only the running
// slot its value names; one queued by a process, or sent by kill, reaches
// none.
TEST_P(TimerSignalValue, ReachesOnlyTheRunningSlotItNames)
{
    const SignalCase &c = GetParam();
    int h0 = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, Proc);
    int h1 = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, Proc);
    ASSERT_EQ(0, ComTimerStart(p, h0));
    if (c.start1) {
        ASSERT_EQ(0, ComTimerStart(p, h1));
    }
    union sigval v;
    v.sival_int = c.value;
    if (c.source == Source::Timer) {
        ASSERT_EQ(0, QueueTimerSignal(c.value));
    } else {
        ASSERT_EQ(0, c.source == Source::Queue ? sigqueue(getpid(), SIGUSR1, v) : kill(getpid(), SIGUSR1));
    }
    DeliverPendingUsr1();

    for (int slot = 0; slot < 2; ++slot) {
        int rd = p->TimerCntInfo[slot].iTimerSelectDes[0];
        EXPECT_EQ(slot == c.slotWritten ? 1 : 0, Pending(rd)) << "slot " << slot;
    }
    if (c.slotWritten >= 0) {
        char b = 0;
        EXPECT_EQ(1, read(p->TimerCntInfo[c.slotWritten].iTimerSelectDes[0], &b, 1));
        EXPECT_EQ('1', b);
    }
    EXPECT_EQ(c.slotWritten >= 0 ? 1 : 0, p->iSigState);
    EXPECT_EQ(c.slotWritten >= 0 ? 1 : 0, logs.Count("send success(1)\n", LOG_DEBUG));
    // Matched or dropped, the handler's pass is a regular one.
    EXPECT_EQ(1, logs.Count("start of SigAlrmHandler()\n", LOG_DEBUG));
    EXPECT_EQ(1, logs.Count("end of SigAlrmHandler()\n", LOG_DEBUG));
}

INSTANTIATE_TEST_SUITE_P(Values, TimerSignalValue,
                         ::testing::Values(SignalCase{"slot0", Source::Timer, 100, true, 0},
                                           SignalCase{"slot1", Source::Timer, 101, true, 1},
                                           SignalCase{"slot1Stopped", Source::Timer, 101, false, -1},
                                           SignalCase{"stray105", Source::Timer, 105, true, -1},
                                           SignalCase{"forgedQueue100", Source::Queue, 100, true, -1},
                                           SignalCase{"strayKill", Source::Kill, 0, true, -1}),
                         [](const ::testing::TestParamInfo<SignalCase> &i) { return std::string(i.param.name); });

TEST_F(TimerSignal, FailedWriteLoggedAndErrnoKept)
{
    int h = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, Proc);
    ASSERT_EQ(0, ComTimerStart(p, h));
    p->TimerCntInfo[0].iTimerSelectDes[1] = -1; // a write end that fails
    siginfo_t info = {};
    info.si_value.sival_int = 100;
    errno = EDOM;
    SigAlrmHandler(SIGUSR1, &info, nullptr);
    EXPECT_EQ(EDOM, errno);
    p->TimerCntInfo[0].iTimerSelectDes[1] = h;
    EXPECT_EQ(1, p->iSigState);
    std::string text = "send failed(1, errno=" + std::to_string(EBADF) + "(" + strerror(EBADF) + "))\n";
    EXPECT_EQ(1, logs.Count(text, LOG_INFO)) << logs.Dump();
    EXPECT_EQ(0, logs.Count("end of SigAlrmHandler()\n", LOG_DEBUG)); // the expiry was lost
}

// ---- sleeps: lower bounds only -----------------------------------------------

struct SleepCase {
    uint32_t ticks;
    int atLeastMs;
    std::vector<std::string> traces;
};

TEST(SleepTicks, BothEncodings)
{
    const SleepCase cases[] = {
        {5, 50, {"usleep = 50000\n"}},
        {0x80000000u | 128, 500, {"usleep = 0\n", "usleep = 0.500000\n"}},
        {0x80000000u | 384, 1500, {"usleep = 1\n", "usleep = 0.500000\n"}},
    };
    for (const SleepCase &c : cases) {
        SCOPED_TRACE(c.ticks);
        LogCapture logs;
        int64_t t0 = NowMs();
        SleepTicks(c.ticks);
        EXPECT_GE(NowMs() - t0, c.atLeastMs);
        for (const std::string &t : c.traces)
            EXPECT_EQ(1, logs.Count(t, LOG_DEBUG)) << logs.Dump();
    }
}
