// Interval timers: slot registration, the lifecycle of the POSIX timer
// behind a slot, the arming computed from milliseconds, elapsed time, and
// deletion.
#include "engine_fixture.h"

#include <cerrno>
#include <csignal>
#include <set>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

int Proc(ProcInfo *)
{
    gCalls.push_back("timer");
    return 0;
}

bool TimerExists(timer_t id)
{
    struct itimerspec v;
    return timer_gettime(id, &v) == 0;
}

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool CloseOnExec(int fd)
{
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

} // namespace

using TimerSlots = EngineTest;

TEST_F(TimerSlots, SetRegistersPipeWithoutPosixTimer)
{
    int h = ComTimerSet(p, KVO_TIMER_ONESHOT, 250, Proc);
    const TimerCntInfo_t &s = p->TimerCntInfo[0];
    EXPECT_EQ(s.iTimerSelectDes[1], h);
    EXPECT_EQ(1, p->iTimerCount);
    EXPECT_EQ(s.iTimerSelectDes[0], p->iTimerSelectDes[0]);
    EXPECT_TRUE(FD_ISSET(s.iTimerSelectDes[0], &p->stSelectFds));
    EXPECT_EQ(s.iTimerSelectDes[0], p->iMaxfd);
    EXPECT_EQ(1, s.iTimerCreate);
    EXPECT_EQ(0, s.iTimerState);
    EXPECT_EQ(0, s.iTimerSigId);
    EXPECT_TRUE(CloseOnExec(s.iTimerSelectDes[0]));
    EXPECT_TRUE(CloseOnExec(s.iTimerSelectDes[1]));
}

TEST_F(TimerSlots, EleventhSetRefused)
{
    std::set<int> handles;
    for (int i = 0; i < KVO_TIMER_MAX; ++i)
        handles.insert(ComTimerSet(p, KVO_TIMER_ONESHOT, 250, Proc));
    EXPECT_EQ(static_cast<size_t>(KVO_TIMER_MAX), handles.size());
    EXPECT_GT(*handles.begin(), 0);
    EXPECT_EQ(-1, ComTimerSet(p, KVO_TIMER_ONESHOT, 250, Proc));
    EXPECT_EQ(1, logs.Count("error of timerMaxOver\n", LOG_INFO));
    EXPECT_EQ(KVO_TIMER_MAX, p->iTimerCount);
}

// A read end, or any descriptor that is no slot's write end, names no slot.
TEST_F(TimerSlots, UnknownHandleRefusedEverywhere)
{
    ComTimerSet(p, KVO_TIMER_ONESHOT, 250, Proc);
    int bad = p->TimerCntInfo[0].iTimerSelectDes[0];
    std::string text = "error of TimerDescriptor(" + std::to_string(bad) + ")\n";
    EXPECT_EQ(-1, ComTimerStart(p, bad));
    EXPECT_EQ(-1, ComTimeUpTimerStart(p, bad, 0));
    EXPECT_EQ(-1, ComTimerCancel(p, bad));
    EXPECT_EQ(-1, ComTimerGet(p, bad));
    EXPECT_EQ(4, logs.Count(text, LOG_INFO));
    EXPECT_EQ(-1, ComTimeReSetTimer(p, bad, 250));
    EXPECT_EQ(1, logs.Count("error of ComTimeReSetTimer(" + std::to_string(bad) + ")\n", LOG_INFO));
}

// ---- lifecycle of the POSIX timer ------------------------------------------

using TimerLifecycle = EngineTest;

TEST_F(TimerLifecycle, StartCancelStartCreatesTwoTimers)
{
    int h = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, Proc);
    TimerCntInfo_t &s = p->TimerCntInfo[0];
    ASSERT_EQ(0, ComTimerStart(p, h));
    timer_t first = s.timerId;
    EXPECT_EQ(100, s.iTimerSigId);
    EXPECT_EQ(0, s.iTimerCreate);
    EXPECT_EQ(1, ComTimerState(p));

    ASSERT_EQ(0, ComTimerStart(p, h)); // re-arms, creates nothing
    EXPECT_EQ(first, s.timerId);

    ASSERT_EQ(0, ComTimerCancel(p, h));
    EXPECT_EQ(1, s.iTimerCreate);
    EXPECT_EQ(0, ComTimerState(p));
    EXPECT_FALSE(TimerExists(first));

    ASSERT_EQ(0, ComTimerStart(p, h));
    EXPECT_EQ(0, s.iTimerCreate);
    EXPECT_EQ(1, ComTimerState(p));
    EXPECT_TRUE(TimerExists(s.timerId));

    int h2 = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, Proc);
    ASSERT_EQ(0, ComTimerStart(p, h2));
    EXPECT_EQ(101, p->TimerCntInfo[1].iTimerSigId);
}

// An expiry still pending when its slot is re-armed or cancelled belongs to
// the old arming and must not serve the new one early; a pending expiry of
// another slot is passed on to that slot.
TEST_F(TimerLifecycle, PendingExpiryOfReplacedArmingIsDropped)
{
    int h0 = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, Proc);
    int h1 = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, Proc);
    ASSERT_EQ(0, ComTimerStart(p, h0));
    ASSERT_EQ(0, ComTimerStart(p, h1));

    ASSERT_EQ(0, QueueTimerSignal(100));
    ASSERT_EQ(0, ComTimerStart(p, h0)); // restart: the pending one is stale
    DeliverPendingUsr1();
    EXPECT_EQ(0, Pending(p->TimerCntInfo[0].iTimerSelectDes[0]));

    ASSERT_EQ(0, QueueTimerSignal(101));
    ASSERT_EQ(0, ComTimerCancel(p, h0)); // not slot 1's expiry to drop
    EXPECT_EQ(1, Pending(p->TimerCntInfo[1].iTimerSelectDes[0]));
    EXPECT_EQ(0, Pending(p->TimerCntInfo[0].iTimerSelectDes[0]));
}

// An expired, served one-shot slot is stopped: cancel deletes nothing and
// the next start re-arms the same POSIX timer.
TEST_F(TimerLifecycle, CancelOfExpiredOneShotKeepsItsTimer)
{
    int h = ComTimerSet(p, KVO_TIMER_ONESHOT, 20, Proc);
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_EQ(0, ComTimerStart(p, h));
    ASSERT_EQ(KVO_SELECT_INTERRUPTED, ComSelect(p));
    ASSERT_EQ(0, ComSelect(p));
    timer_t id = p->TimerCntInfo[0].timerId;

    EXPECT_EQ(0, ComTimerCancel(p, h));
    EXPECT_TRUE(TimerExists(id));
    EXPECT_EQ(0, p->TimerCntInfo[0].iTimerCreate);
    ASSERT_EQ(0, ComTimeReSetTimer(p, h, 60000)); // stopped: nothing to cancel
    ASSERT_EQ(0, ComTimerStart(p, h));
    EXPECT_EQ(id, p->TimerCntInfo[0].timerId);
}

// A failed arming deletes the timer the start had just created.
TEST_F(TimerLifecycle, RefusedArmingLeavesSlotRegistered)
{
    int h = ComTimerSet(p, KVO_TIMER_ONESHOT, -250, Proc);
    EXPECT_EQ(-1, ComTimerStart(p, h));
    EXPECT_EQ(1, logs.Count("error of timer_settime(errno=" + std::to_string(EINVAL) + ")\n", LOG_INFO));
    EXPECT_EQ(1, p->TimerCntInfo[0].iTimerCreate);
    EXPECT_EQ(0, ComTimerState(p));
    EXPECT_FALSE(TimerExists(p->TimerCntInfo[0].timerId));
}

// Restarting a periodic slot with a new time keeps it periodic.
TEST_F(TimerLifecycle, UpStartWithNewTimeKeepsPeriod)
{
    int h = ComTimerSet(p, KVO_TIMER_PERIODIC, 60000, Proc);
    EXPECT_EQ(-1, ComTimeUpTimerStart(p, h, 0)); // no POSIX timer yet
    ASSERT_EQ(0, ComTimerStart(p, h));
    ASSERT_EQ(0, ComTimeUpTimerStart(p, h, 1500));
    struct itimerspec v;
    ASSERT_EQ(0, timer_gettime(p->TimerCntInfo[0].timerId, &v));
    EXPECT_EQ(1, v.it_interval.tv_sec);
    EXPECT_EQ(500000000L, v.it_interval.tv_nsec);
    EXPECT_EQ(1500, p->TimerCntInfo[0].iTimerMsec);
}

TEST_F(TimerLifecycle, DeleteClosesPipesAndDeletesEveryTimer)
{
    int h0 = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, Proc);
    int h1 = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, Proc);
    int r0 = p->iTimerSelectDes[0];
    ASSERT_EQ(0, ComTimerStart(p, h0));
    ASSERT_EQ(0, ComTimerStart(p, h1));
    p->TimerCntInfo[1].iTimerState = 0; // expired and served, as ComSelect leaves it
    timer_t id0 = p->TimerCntInfo[0].timerId;
    timer_t id1 = p->TimerCntInfo[1].timerId;

    ASSERT_EQ(0, ComTimerDelete(p));
    EXPECT_EQ(0, p->iTimerCount);
    EXPECT_FALSE(TimerExists(id0));
    EXPECT_FALSE(TimerExists(id1));
    EXPECT_EQ(-1, fcntl(h0, F_GETFD));
    EXPECT_EQ(-1, fcntl(r0, F_GETFD));
    EXPECT_FALSE(FD_ISSET(r0, &p->stSelectFds));
    EXPECT_EQ(0, p->TimerCntInfo[0].iTimerSelectDes[1]);
}

// ---- arming ------------------------------------------------------------------

struct ArmCase {
    int mode;
    int ms;
    long valueSec, valueNsec, intervalSec, intervalNsec;
};

TEST_F(TimerLifecycle, MillisecondsConvertToArming)
{
    const ArmCase cases[] = {
        {KVO_TIMER_ONESHOT, 250, 0, 250000000, 0, 0},
        {KVO_TIMER_ONESHOT, 999, 0, 999000000, 0, 0},
        {KVO_TIMER_ONESHOT, 1000, 1, 0, 0, 0},
        {KVO_TIMER_ONESHOT, 1500, 1, 500000000, 0, 0},
        {KVO_TIMER_PERIODIC, 1500, 1, 500000000, 1, 500000000},
        {KVO_TIMER_PERIODIC, 250, 0, 250000000, 0, 250000000},
    };
    for (const ArmCase &c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << ", " << c.ms << " ms");
        int h = ComTimerSet(p, c.mode, c.ms, Proc);
        int slot = p->iTimerCount - 1;
        ASSERT_EQ(0, ComTimerStart(p, h));
        const struct itimerspec &v = p->TimerCntInfo[slot].itval;
        EXPECT_EQ(c.valueSec, static_cast<long>(v.it_value.tv_sec));
        EXPECT_EQ(c.valueNsec, v.it_value.tv_nsec);
        EXPECT_EQ(c.intervalSec, static_cast<long>(v.it_interval.tv_sec));
        EXPECT_EQ(c.intervalNsec, v.it_interval.tv_nsec);
        struct itimerspec k;
        ASSERT_EQ(0, timer_gettime(p->TimerCntInfo[slot].timerId, &k));
        EXPECT_EQ(c.intervalSec, static_cast<long>(k.it_interval.tv_sec));
        EXPECT_EQ(c.intervalNsec, k.it_interval.tv_nsec);

        // ReSet stops the slot and stores the same arming without arming it.
        p->TimerCntInfo[slot].itval = {};
        ASSERT_EQ(0, ComTimeReSetTimer(p, h, c.ms));
        EXPECT_EQ(0, p->TimerCntInfo[slot].iTimerState);
        EXPECT_EQ(c.valueNsec, v.it_value.tv_nsec);
        EXPECT_EQ(c.intervalNsec, v.it_interval.tv_nsec);
    }
}

// ---- elapsed time ----------------------------------------------------------

using TimerGet = EngineTest;

TEST_F(TimerGet, StoppedSlotHasNoElapsedTime)
{
    int h = ComTimerSet(p, KVO_TIMER_ONESHOT, 250, Proc);
    EXPECT_EQ(-1, ComTimerGet(p, h));
    EXPECT_EQ(1, logs.Count("stopMode of timer\n", LOG_DEBUG));
}

// The second reading pretends the slot was armed with 30 s instead of 10 s:
// more than 2^31 ns must not overflow on a 32-bit target.
TEST_F(TimerGet, ElapsedSinceStartAlsoBeyondThreeSeconds)
{
    int h = ComTimerSet(p, KVO_TIMER_ONESHOT, 10000, Proc);
    int64_t t0 = NowMs();
    ASSERT_EQ(0, ComTimerStart(p, h));
    SleepMs(50);
    int got = ComTimerGet(p, h);
    int64_t wall = NowMs() - t0;
    EXPECT_GE(got, 49);
    EXPECT_LE(got, wall + 1);

    p->TimerCntInfo[0].itval.it_value.tv_sec += 20;
    got = ComTimerGet(p, h);
    wall = NowMs() - t0;
    EXPECT_GE(got, 20049);
    EXPECT_LE(got, 20000 + wall + 1);
}
