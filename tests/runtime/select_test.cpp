// The multiplexer: dispatch order, handler results, interrupted waits,
// timer-pipe bytes, the descriptor tables and the range of descriptors.
#include "engine_fixture.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int gTimerResult;
int gAppResult;
int gHandle;
int gSeenSlotState = -1;

int TimerProc(ProcInfo *)
{
    gCalls.push_back("timer");
    return gTimerResult;
}

// Reads its byte, as a real handler does, so the descriptor goes quiet.
int AppProc(ProcInfo *pi)
{
    char c;
    EXPECT_EQ(1, read(pi->iSelectDes, &c, 1));
    gCalls.push_back("app");
    return gAppResult;
}

int HighProc(ProcInfo *)
{
    gCalls.push_back("high");
    return 0;
}

// Sees its own slot's state, then starts the timer again, as the hold
// timer's handler does.
int RestartingProc(ProcInfo *pi)
{
    gSeenSlotState = pi->TimerCntInfo[0].iTimerState;
    gCalls.push_back("timer");
    EXPECT_EQ(0, ComTimerStart(pi, gHandle));
    return 0;
}

int OpenFdCount()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

bool RaiseFdLimit(rlim_t want)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        return false;
    if (rl.rlim_cur >= want)
        return true;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < want)
        return false;
    rl.rlim_cur = want;
    return setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

} // namespace

// ---- handler results and dispatch order ------------------------------------

struct ResultCase {
    int timerResult;
    int appResult;
    int expect;                      // what ComSelect returns
    std::vector<std::string> calls;  // in this turn
};

class SelectResult : public EngineTest, public ::testing::WithParamInterface<ResultCase> {};

// A timer pipe and an application descriptor ready in the same turn: the
// timer handler runs first, and a timer result other than 0 and -1 ends the
// turn before the application pass.
TEST_P(SelectResult, TimerPassRunsFirstAndResultsPassUp)
{
    const ResultCase &c = GetParam();
    gTimerResult = c.timerResult;
    gAppResult = c.appResult;
    gHandle = ComTimerSet(p, KVO_TIMER_ONESHOT, 60000, TimerProc);
    int app = AddAppPipe(0, AppProc);
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_EQ(0, ComTimerStart(p, gHandle));
    PutByte(app);
    PutByte(gHandle); // as the signal handler does on expiry

    EXPECT_EQ(c.expect, ComSelect(p)) << logs.Dump();
    EXPECT_EQ(c.calls, gCalls);
    EXPECT_EQ(0, p->TimerCntInfo[0].iTimerState); // one-shot, served

    if (c.calls.size() == 1) { // the descriptor is still ready: next turn
        gCalls.clear();
        gAppResult = 0;
        EXPECT_EQ(0, ComSelect(p));
        EXPECT_EQ(std::vector<std::string>{"app"}, gCalls);
    }
}

INSTANTIATE_TEST_SUITE_P(Results, SelectResult,
                         ::testing::Values(ResultCase{0, 0, 0, {"timer", "app"}},
                                           ResultCase{-1, 0, 0, {"timer", "app"}},
                                           ResultCase{KVO_SELECT_END, 0, KVO_SELECT_END, {"timer"}},
                                           ResultCase{5, 0, 5, {"timer"}},
                                           ResultCase{0, -1, -1, {"timer", "app"}},
                                           ResultCase{0, KVO_SELECT_END, KVO_SELECT_END, {"timer", "app"}},
                                           ResultCase{0, 5, 5, {"timer", "app"}}),
                         [](const ::testing::TestParamInfo<ResultCase> &i) {
                             auto n = [](int v) { return v < 0 ? std::string("Minus1") : std::to_string(v); };
                             return "Timer" + n(i.param.timerResult) + "App" + n(i.param.appResult);
                         });

// ---- timer pipes -------------------------------------------------------------

using SelectTimer = EngineTest;

// A real expiry ends the wait with EINTR (3); the next turn serves the byte
// and scans no application descriptor; then nothing is left to wait for.
TEST_F(SelectTimer, ExpiryInterruptsWaitThenIsServed)
{
    gTimerResult = 0;
    gHandle = ComTimerSet(p, KVO_TIMER_ONESHOT, 20, TimerProc);
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_EQ(0, ComTimerStart(p, gHandle));

    EXPECT_EQ(KVO_SELECT_INTERRUPTED, ComSelect(p)) << logs.Dump();
    EXPECT_EQ(EINTR, p->iErrno);
    EXPECT_EQ(1, p->iSigState);
    EXPECT_TRUE(gCalls.empty());

    EXPECT_EQ(0, ComSelect(p));
    EXPECT_EQ(std::vector<std::string>{"timer"}, gCalls);
    EXPECT_EQ(0, p->iSigState);
    EXPECT_EQ(0, ComTimerState(p));
    EXPECT_EQ(1, logs.Count("(2)non read data(kernel)\n", LOG_DEBUG));

    logs.Clear();
    EXPECT_EQ(0, ComSelect(p));
    EXPECT_EQ(1, logs.Count("empty of iSelectDes\n", LOG_DEBUG));
    EXPECT_EQ(0, logs.Count("iRtn = 0, errno = 0\n")); // returned without waiting
}

TEST_F(SelectTimer, OneShotStoppedBeforeHandlerSoRestartKeepsItRunning)
{
    gHandle = ComTimerSet(p, KVO_TIMER_ONESHOT, 20, RestartingProc);
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_EQ(0, ComTimerStart(p, gHandle));
    ASSERT_EQ(KVO_SELECT_INTERRUPTED, ComSelect(p));
    ASSERT_EQ(0, ComSelect(p));
    EXPECT_EQ(1u, gCalls.size());
    EXPECT_EQ(0, gSeenSlotState);
    EXPECT_EQ(1, p->TimerCntInfo[0].iTimerState);
}

TEST_F(SelectTimer, TwoQueuedBytesOfPeriodicSlotTakeTwoTurns)
{
    gTimerResult = 0;
    gHandle = ComTimerSet(p, KVO_TIMER_PERIODIC, 60000, TimerProc);
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_EQ(0, ComTimerStart(p, gHandle));
    PutByte(gHandle);
    PutByte(gHandle);

    EXPECT_EQ(0, ComSelect(p));
    EXPECT_EQ(1u, gCalls.size());
    EXPECT_EQ(1, Pending(p->TimerCntInfo[0].iTimerSelectDes[0]));
    EXPECT_EQ(0, ComSelect(p));
    EXPECT_EQ(2u, gCalls.size());
    EXPECT_EQ(0, Pending(p->TimerCntInfo[0].iTimerSelectDes[0]));
    EXPECT_EQ(1, p->TimerCntInfo[0].iTimerState); // periodic stays running
}

// ---- tables ----------------------------------------------------------------

struct MaxCase {
    std::vector<int> timers;
    std::vector<int> apps;
    int expect;
};

TEST(SelectFdMaxGet, SkipsGapsAndFindsHighestOfBothLists)
{
    const MaxCase cases[] = {
        {{0, 7, 0, 3}, {5, 0, 12}, 12},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 30}, {0, 0, 4}, 30},
        {{}, {}, 0},
        {{6}, {2000, 9, -1}, 9}, // never in a set, never counted
    };
    for (const MaxCase &c : cases) {
        ProcInfo pi = {};
        pi.iMaxfd = 500; // recomputed, not only raised
        for (size_t i = 0; i < c.timers.size(); ++i)
            pi.iTimerSelectDes[i] = c.timers[i];
        for (size_t i = 0; i < c.apps.size(); ++i)
            pi.iaSelectDes[i] = c.apps[i];
        ComSelectFdMaxGet(&pi);
        EXPECT_EQ(c.expect, pi.iMaxfd);
    }
}

using SelectTables = EngineTest;

TEST_F(SelectTables, ClearModeEmptiesAShortListAndRecomputesMax)
{
    int t = ComTimerSet(p, KVO_TIMER_ONESHOT, 250, TimerProc);
    int timerRead = p->iTimerSelectDes[0];
    AddAppPipe(0, AppProc);
    AddAppPipe(1, AppProc);
    int app0 = p->iaSelectDes[0];
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_GT(p->iMaxfd, timerRead);

    ComSelectUpdate(p, 0);
    EXPECT_EQ(0, p->iaSelectDes[0]);
    EXPECT_EQ(0, p->iaSelectDes[1]);
    EXPECT_FALSE(FD_ISSET(app0, &p->stSelectFds));
    EXPECT_TRUE(FD_ISSET(timerRead, &p->stSelectFds));
    EXPECT_EQ(timerRead, p->iMaxfd);
    EXPECT_NE(nullptr, p->pSelectProc[0]); // handlers untouched
    EXPECT_GT(t, 0);
    // A short list ends with its own trace, not with the full list's.
    EXPECT_EQ(1, logs.Count("end of allClear\n", LOG_DEBUG)) << logs.Dump();
    EXPECT_EQ(0, logs.Count("FD_CLR ok\n", LOG_DEBUG));
    EXPECT_EQ(0, logs.Count("end of ComSelectUpdate()\n", LOG_DEBUG));
}

// A full list of ten is zeroed with its own traces and iMaxfd recomputed.
TEST_F(SelectTables, ClearModeOfAFullListTracesItsEnd)
{
    int highest = 0;
    for (int i = 0; i < KVO_SELECT_MAX; ++i) {
        AddAppPipe(i, AppProc);
        highest = std::max(highest, p->iaSelectDes[i]);
    }
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_EQ(highest, p->iMaxfd);

    ComSelectUpdate(p, 0);
    for (int i = 0; i < KVO_SELECT_MAX; ++i)
        EXPECT_EQ(0, p->iaSelectDes[i]) << i;
    EXPECT_FALSE(FD_ISSET(highest, &p->stSelectFds));
    EXPECT_EQ(0, p->iMaxfd);
    EXPECT_EQ(1, logs.Count("FD_CLR ok\n", LOG_DEBUG)) << logs.Dump();
    EXPECT_EQ(1, logs.Count("end of ComSelectUpdate()\n", LOG_DEBUG));
    EXPECT_EQ(0, logs.Count("end of allClear\n", LOG_DEBUG));
}

// Removal keeps the list packed with each handler beside its descriptor and
// leaves the other descriptors watched; a bad argument changes nothing.
TEST_F(SelectTables, RemoveTakesOneDescriptorOutOrRefuses)
{
    AddAppPipe(0, AppProc);
    AddAppPipe(1, HighProc);
    AddAppPipe(2, TimerProc);
    const int a = p->iaSelectDes[0], b = p->iaSelectDes[1], c = p->iaSelectDes[2];
    ASSERT_EQ(0, ComSelectInit(p));
    const int maxfd = p->iMaxfd;

    EXPECT_EQ(0, ComSelectRemove(p, b));
    const int list[] = {p->iaSelectDes[0], p->iaSelectDes[1], p->iaSelectDes[2]};
    EXPECT_EQ((std::vector<int>{a, c, 0}), std::vector<int>(list, list + 3));
    EXPECT_EQ(&AppProc, p->pSelectProc[0]);
    EXPECT_EQ(&TimerProc, p->pSelectProc[1]);
    EXPECT_FALSE(FD_ISSET(b, &p->stSelectFds));
    EXPECT_TRUE(FD_ISSET(a, &p->stSelectFds) && FD_ISSET(c, &p->stSelectFds));
    EXPECT_EQ(maxfd, p->iMaxfd);
    EXPECT_TRUE(logs.AtPriority(LOG_INFO).empty()) << logs.Dump();

    const struct {
        ProcInfo *rec;
        int fd;
        std::string line;
    } refused[] = {
        {nullptr, a, "error of ComSelectRemove(pProcInfo=NULL)\n"},
        {p, 0, "error of descriptor(0)\n"},
        {p, -1, "error of descriptor(-1)\n"},
        {p, KVO_FD_LIMIT, "error of descriptor(" + std::to_string(KVO_FD_LIMIT) + ")\n"},
        {p, b, "error of ComSelectRemove(" + std::to_string(b) + ")\n"},
    };
    for (const auto &r : refused) {
        logs.Clear();
        EXPECT_EQ(-1, ComSelectRemove(r.rec, r.fd)) << r.line;
        EXPECT_EQ(std::vector<std::string>{r.line}, logs.AtPriority(LOG_INFO));
    }
    EXPECT_EQ(a, p->iaSelectDes[0]);
    EXPECT_EQ(c, p->iaSelectDes[1]);
}

// ---- descriptors outside 0 .. 1023 ---------------------------------------

using SelectRange = EngineTest;

TEST_F(SelectRange, ApplicationDescriptorOutsideSetRefusedOthersServed)
{
    if (!RaiseFdLimit(1200))
        GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to 1200";
    gAppResult = 0;
    int app = AddAppPipe(0, AppProc);
    std::vector<int> high = Pipe();
    ASSERT_EQ(1100, dup2(high[0], 1100));
    PutByte(high[1]); // the high descriptor is readable too
    p->iaSelectDes[1] = -1;
    p->pSelectProc[1] = HighProc;
    p->iaSelectDes[2] = 1100;
    p->pSelectProc[2] = HighProc;

    EXPECT_EQ(-1, ComSelectInit(p));
    EXPECT_EQ(1, logs.Count("error of descriptor(-1)\n", LOG_INFO));
    EXPECT_EQ(1, logs.Count("error of descriptor(1100)\n", LOG_INFO));
    EXPECT_TRUE(FD_ISSET(p->iaSelectDes[0], &p->stSelectFds));
    EXPECT_EQ(p->iaSelectDes[0], p->iMaxfd);

    PutByte(app);
    EXPECT_EQ(0, ComSelect(p));
    EXPECT_EQ(std::vector<std::string>{"app"}, gCalls);
    ComSelectUpdate(p, 1);
    EXPECT_EQ(p->iaSelectDes[0], p->iMaxfd);
    close(1100);
}

// With every descriptor below 1024 taken, the timer pipe lands above the
// set: the slot is refused and the new pipe closed again.
TEST_F(SelectRange, TimerPipeOutsideSetRefusedAndClosed)
{
    if (!RaiseFdLimit(1200))
        GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to 1200";
    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    std::vector<int> fillers;
    for (int fd = dup(devnull); fd >= 0; fd = dup(devnull)) {
        fillers.push_back(fd);
        if (fd >= KVO_FD_LIMIT - 1)
            break;
    }
    int before = OpenFdCount();
    int r = ComTimerSet(p, KVO_TIMER_ONESHOT, 250, TimerProc);
    int after = OpenFdCount();
    for (int fd : fillers)
        close(fd);
    close(devnull);

    EXPECT_EQ(-1, r);
    EXPECT_EQ(before, after);
    EXPECT_EQ(0, p->iTimerCount);
    EXPECT_EQ(0, p->iTimerSelectDes[0]);
    EXPECT_EQ(1u, logs.AtPriority(LOG_INFO).size()) << logs.Dump();
    EXPECT_EQ(0u, logs.AtPriority(LOG_INFO).at(0).rfind("error of descriptor(", 0));
}
