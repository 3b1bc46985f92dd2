// The event engine with real pipes, POSIX timers and SIGUSR1, and the fixed paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "kvoroot.h"
#include "kvoruntime.h"
#include "logcapture.h"

namespace {

std::string gCalls; // handler calls of the current test: 't' timer, 'a' application
int gTimerResult, gAppResult, gHandle, gSeenSlotState;

int TimerProc(ProcInfo *)
{
    gCalls += 't';
    return gTimerResult;
}

int AppProc(ProcInfo *pi) // reads its byte, so the descriptor goes quiet
{
    char c;
    EXPECT_EQ(1, read(pi->iSelectDes, &c, 1));
    gCalls += 'a';
    return gAppResult;
}

int RestartingProc(ProcInfo *pi) // as the hold timer's handler does
{
    gSeenSlotState = pi->TimerCntInfo[0].iTimerState;
    gCalls += 't';
    return ComTimerStart(pi, gHandle) == 0 ? 0 : 99;
}

void BlockUsr1(int how)
{
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGUSR1);
    sigprocmask(how, &s, nullptr);
}

void DeliverUsr1() { BlockUsr1(SIG_UNBLOCK), BlockUsr1(SIG_BLOCK); }

void QueueExpiry(int value) // SIGUSR1 as the kernel queues a timer expiry (SI_TIMER)
{
    siginfo_t info = {};
    info.si_signo = SIGUSR1, info.si_code = SI_TIMER, info.si_value.sival_int = value;
    ASSERT_EQ(0, syscall(SYS_rt_sigqueueinfo, getpid(), SIGUSR1, &info));
}

void PutByte(int fd) { ASSERT_EQ(1, write(fd, "1", 1)); }

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

// A fresh record with the timer signal handler; SIGUSR1 blocked outside the waits.
class Engine : public ::testing::Test {
protected:
    void SetUp() override
    {
        sigprocmask(SIG_SETMASK, nullptr, &savedMask_);
        sigaction(SIGUSR1, nullptr, &savedAct_);
        BlockUsr1(SIG_BLOCK);
        gCalls.clear(), gTimerResult = gAppResult = 0;
        pProcInfoCom = p = static_cast<ProcInfo *>(std::calloc(1, sizeof(ProcInfo)));
        ASSERT_EQ(0, ComSigAlrm(p, SigAlrmHandler));
        ComSelectFdzero(p);
    }
    void TearDown() override
    {
        ComTimerDelete(p);
        signal(SIGUSR1, SIG_IGN); // discards expiries left pending
        for (int fd : fds_)
            close(fd);
        sigaction(SIGUSR1, &savedAct_, nullptr);
        sigprocmask(SIG_SETMASK, &savedMask_, nullptr); // the runtime's waits change it
        pProcInfoCom = nullptr, std::free(p);
    }
    int AddAppPipe(int index, SelectProc proc) // the write end; both closed at teardown
    {
        int f[2];
        EXPECT_EQ(0, pipe(f));
        fds_.insert(fds_.end(), {f[0], f[1]});
        p->iaSelectDes[index] = f[0], p->pSelectProc[index] = proc;
        return f[1];
    }
    int Set(int mode, int ms) { return ComTimerSet(p, mode, ms, TimerProc); }
    int ReadEnd(int slot) const { return p->TimerCntInfo[slot].iTimerSelectDes[0]; }
    int Pending(int slot) const
    {
        int n = -1;
        EXPECT_EQ(0, ioctl(ReadEnd(slot), FIONREAD, &n));
        return n;
    }
    std::string Slot(int i) const // "create state sigid pending-bytes"
    {
        const TimerCntInfo_t &s = p->TimerCntInfo[i];
        return std::to_string(s.iTimerCreate) + " " + std::to_string(s.iTimerState) + " " +
               std::to_string(s.iTimerSigId) + " " + std::to_string(Pending(i));
    }

    ProcInfo *p = nullptr;
    LogCapture logs;
    std::vector<int> fds_;
    sigset_t savedMask_;
    struct sigaction savedAct_;
};


struct ResultCase { int timerResult, appResult, expect; const char *calls; }; // calls: in this turn

class SelectResult : public Engine, public ::testing::WithParamInterface<ResultCase> {};

// Timer first when both are ready; a timer result other than 0/-1 ends the turn there.
TEST_P(SelectResult, TimerPassFirstAndResultsPassUp)
{
    const ResultCase &c = GetParam();
    gTimerResult = c.timerResult, gAppResult = c.appResult;
    gHandle = Set(KVO_TIMER_ONESHOT, 60000);
    PutByte(AddAppPipe(0, AppProc));
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_EQ(0, ComTimerStart(p, gHandle));
    PutByte(gHandle); // as the signal handler does on expiry
    EXPECT_EQ(c.expect, ComSelect(p)) << logs.Dump();
    EXPECT_EQ(c.calls, gCalls);
    EXPECT_EQ("0 0 100 0", Slot(0)); // one-shot, served
    if (std::strlen(c.calls) == 1) { // the descriptor is still ready
        gAppResult = 0;
        EXPECT_EQ(0, ComSelect(p));
        EXPECT_EQ("ta", gCalls);
    }
}

INSTANTIATE_TEST_SUITE_P(Results, SelectResult,
                         ::testing::Values(ResultCase{0, 0, 0, "ta"}, ResultCase{-1, 0, 0, "ta"},
                                           ResultCase{5, 0, 5, "t"}, ResultCase{KVO_SELECT_END, 0, KVO_SELECT_END, "t"},
                                           ResultCase{0, -1, -1, "ta"}, ResultCase{0, 5, 5, "ta"}));

// Expiry: EINTR, then its byte; one-shot stopped before its handler; a byte a turn.
TEST_F(Engine, TimerTurns)
{
    gHandle = ComTimerSet(p, KVO_TIMER_ONESHOT, 20, RestartingProc);
    int periodic = Set(KVO_TIMER_PERIODIC, 60000);
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_EQ(0, ComTimerStart(p, gHandle));
    EXPECT_EQ(KVO_SELECT_INTERRUPTED, ComSelect(p)) << logs.Dump();
    EXPECT_TRUE(p->iErrno == EINTR && p->iSigState == 1 && gCalls.empty());
    EXPECT_EQ(0, ComSelect(p));
    EXPECT_TRUE(p->iSigState == 0 && gSeenSlotState == 0);
    EXPECT_EQ("0 1 100 0", Slot(0));
    EXPECT_EQ(1, logs.Count("(2)non read data(kernel)\n", LOG_DEBUG));
    ASSERT_EQ(0, ComTimerCancel(p, gHandle));
    ASSERT_EQ(0, ComTimerStart(p, periodic));
    ASSERT_EQ(2, write(periodic, "11", 2));
    EXPECT_EQ(0, ComSelect(p));
    EXPECT_EQ("0 1 101 1", Slot(1));
    EXPECT_EQ(0, ComSelect(p));
    EXPECT_EQ("0 1 101 0", Slot(1));
    EXPECT_EQ("ttt", gCalls);
    ASSERT_EQ(0, ComTimerCancel(p, periodic));
    EXPECT_EQ(0, ComSelect(p));
    EXPECT_EQ(1, logs.Count("empty of iSelectDes\n", LOG_DEBUG));
}

// iMaxfd recomputed over both lists, past gaps, without descriptors no set holds.
TEST(SelectFdMaxGet, SkipsGapsAndDescriptorsOutsideTheSet)
{
    ProcInfo pi = {}, none = {};
    pi.iMaxfd = none.iMaxfd = 500, pi.iTimerSelectDes[KVO_TIMER_MAX - 1] = 30;
    pi.iaSelectDes[0] = 2000, pi.iaSelectDes[2] = 9, pi.iaSelectDes[3] = -1;
    ComSelectFdMaxGet(&pi), ComSelectFdMaxGet(&none);
    EXPECT_EQ("30 0", std::to_string(pi.iMaxfd) + " " + std::to_string(none.iMaxfd));
    pi.iaSelectDes[KVO_SELECT_MAX - 1] = 40;
    ComSelectFdMaxGet(&pi);
    EXPECT_EQ(40, pi.iMaxfd);
}

// Clear mode empties a short and a full list; iMaxfd from what is left.
TEST_F(Engine, UpdateClearModeEmptiesTheList)
{
    Set(KVO_TIMER_ONESHOT, 250);
    for (int n : {2, int{KVO_SELECT_MAX}}) {
        for (int i = 0; i < n; ++i)
            AddAppPipe(i, AppProc);
        std::vector<int> list(p->iaSelectDes, p->iaSelectDes + n);
        ASSERT_EQ(0, ComSelectInit(p));
        logs.Clear();
        ComSelectUpdate(p, 0);
        EXPECT_EQ(std::vector<int>(KVO_SELECT_MAX, 0), std::vector<int>(p->iaSelectDes, p->iaSelectDes + 10));
        for (int fd : list)
            EXPECT_FALSE(FD_ISSET(fd, &p->stSelectFds)) << fd;
        EXPECT_TRUE(FD_ISSET(ReadEnd(0), &p->stSelectFds));
        EXPECT_EQ(ReadEnd(0), p->iMaxfd);
        EXPECT_EQ(n < KVO_SELECT_MAX, logs.Has("end of allClear\n")) << logs.Dump();
        EXPECT_EQ(n == KVO_SELECT_MAX, logs.Has("FD_CLR ok\n"));
    }
}

// Removal keeps the list packed; bad arguments refused; a handler-less entry an error.
TEST_F(Engine, RemoveTakesOneDescriptorOutOrRefuses)
{
    int wa = AddAppPipe(0, AppProc);
    AddAppPipe(1, RestartingProc);
    AddAppPipe(2, TimerProc);
    const int a = p->iaSelectDes[0], b = p->iaSelectDes[1], c = p->iaSelectDes[2];
    ASSERT_EQ(0, ComSelectInit(p));
    const int maxfd = p->iMaxfd;
    EXPECT_EQ(0, ComSelectRemove(p, b));
    EXPECT_EQ((std::vector<int>{a, c, 0}), std::vector<int>(p->iaSelectDes, p->iaSelectDes + 3));
    EXPECT_TRUE(p->pSelectProc[0] == &AppProc && p->pSelectProc[1] == &TimerProc);
    EXPECT_TRUE(!FD_ISSET(b, &p->stSelectFds) && FD_ISSET(a, &p->stSelectFds) && FD_ISSET(c, &p->stSelectFds) &&
                p->iMaxfd == maxfd);
    const std::pair<int, std::string> refused[] = {{0, "error of descriptor(0)\n"},
                                                   {-1, "error of descriptor(-1)\n"},
                                                   {KVO_FD_LIMIT, "error of descriptor(1024)\n"},
                                                   {b, "error of ComSelectRemove(" + std::to_string(b) + ")\n"}};
    for (const auto &r : refused) {
        EXPECT_EQ(-1, ComSelectRemove(p, r.first));
        EXPECT_EQ(r.second, logs.AtPriority(LOG_INFO).back());
    }
    EXPECT_EQ(-1, ComSelectRemove(nullptr, a));
    EXPECT_EQ(5u, logs.AtPriority(LOG_INFO).size());
    EXPECT_EQ((std::vector<int>{a, c}), std::vector<int>(p->iaSelectDes, p->iaSelectDes + 2));
    p->pSelectProc[0] = nullptr;
    PutByte(wa);
    EXPECT_EQ(-1, ComSelect(p));
    EXPECT_EQ("error of handler(iSelectDes=" + std::to_string(a) + ")\n", logs.AtPriority(LOG_INFO).back());
}

// Descriptors outside 0..1023 never reach a set: refused, or the timer pipe closed.
TEST_F(Engine, DescriptorsOutsideTheSetAreRefused)
{
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = std::max<rlim_t>(rl.rlim_cur, 1200);
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
        GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to 1200";
    int app = AddAppPipe(0, AppProc);
    PutByte(AddAppPipe(2, TimerProc)); // readable, but moved above the set
    ASSERT_EQ(1100, dup2(p->iaSelectDes[2], 1100));
    p->iaSelectDes[1] = -1, p->iaSelectDes[2] = 1100, p->pSelectProc[1] = TimerProc;
    EXPECT_EQ(-1, ComSelectInit(p));
    EXPECT_EQ((std::vector<std::string>{"error of descriptor(-1)\n", "error of descriptor(1100)\n"}),
              logs.AtPriority(LOG_INFO));
    EXPECT_EQ(p->iaSelectDes[0], p->iMaxfd);
    PutByte(app);
    EXPECT_EQ(0, ComSelect(p));
    EXPECT_EQ("a", gCalls);
    ComSelectUpdate(p, 1);
    EXPECT_EQ(p->iaSelectDes[0], p->iMaxfd);
    close(1100);

    int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<int> fillers{devnull};
    while (fillers.back() >= 0 && fillers.back() < KVO_FD_LIMIT - 1)
        fillers.push_back(dup(devnull));
    logs.Clear();
    EXPECT_EQ(-1, Set(KVO_TIMER_ONESHOT, 250));
    int next = dup(devnull); // the lowest free one: the pipe's ends were closed
    for (int fd : fillers)
        close(fd);
    close(next);
    EXPECT_TRUE(next == KVO_FD_LIMIT && p->iTimerCount == 0);
    ASSERT_EQ(1u, logs.AtPriority(LOG_INFO).size()) << logs.Dump();
    EXPECT_EQ(0u, logs.AtPriority(LOG_INFO)[0].rfind("error of descriptor(", 0));
}

// A slot is a close-on-exec pipe in the set; the eleventh and unknown handles refused.
TEST_F(Engine, SlotsRegisterPipesRefuseTheEleventhAndUnknownHandles)
{
    int h = Set(KVO_TIMER_ONESHOT, 250);
    const TimerCntInfo_t &s = p->TimerCntInfo[0];
    EXPECT_TRUE(s.iTimerSelectDes[1] == h && s.iTimerSelectDes[0] == p->iTimerSelectDes[0]);
    EXPECT_TRUE(FD_ISSET(s.iTimerSelectDes[0], &p->stSelectFds) && s.iTimerSelectDes[0] == p->iMaxfd);
    EXPECT_EQ("1 0 0 0", Slot(0));
    for (int fd : s.iTimerSelectDes)
        EXPECT_EQ(FD_CLOEXEC, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    for (int i = 1; i < KVO_TIMER_MAX; ++i)
        EXPECT_GT(Set(KVO_TIMER_ONESHOT, 250), 0);
    EXPECT_EQ(-1, Set(KVO_TIMER_ONESHOT, 250));
    EXPECT_TRUE(logs.Count("error of timerMaxOver\n", LOG_INFO) == 1 && p->iTimerCount == KVO_TIMER_MAX);
    int bad = ReadEnd(0); // a read end names no slot
    EXPECT_EQ("-1 -1 -1 -1 -1", std::to_string(ComTimerStart(p, bad)) + " " +
                                    std::to_string(ComTimeUpTimerStart(p, bad, 0)) + " " +
                                    std::to_string(ComTimerCancel(p, bad)) + " " + std::to_string(ComTimerGet(p, bad)) +
                                    " " + std::to_string(ComTimeReSetTimer(p, bad, 250)));
    EXPECT_EQ(4, logs.Count("error of TimerDescriptor(" + std::to_string(bad) + ")\n", LOG_INFO));
    EXPECT_EQ(1, logs.Count("error of ComTimeReSetTimer(" + std::to_string(bad) + ")\n", LOG_INFO));
}

// Start creates, restart re-arms, cancel deletes; stale expiries of the slot dropped.
TEST_F(Engine, StartCancelStartAndStaleExpiries)
{
    int h0 = Set(KVO_TIMER_ONESHOT, 60000), h1 = Set(KVO_TIMER_ONESHOT, 60000);
    ASSERT_EQ(0, ComTimerStart(p, h0));
    timer_t first = p->TimerCntInfo[0].timerId;
    EXPECT_EQ("0 1 100 0", Slot(0));
    EXPECT_EQ(1, ComTimerState(p));
    ASSERT_EQ(0, ComTimerStart(p, h0));
    EXPECT_EQ(first, p->TimerCntInfo[0].timerId);
    ASSERT_EQ(0, ComTimerCancel(p, h0));
    EXPECT_EQ("1 0 100 0", Slot(0));
    EXPECT_TRUE(ComTimerState(p) == 0 && !TimerExists(first));
    ASSERT_EQ(0, ComTimerStart(p, h0));
    ASSERT_EQ(0, ComTimerStart(p, h1));
    EXPECT_TRUE(TimerExists(p->TimerCntInfo[0].timerId));
    QueueExpiry(100);
    ASSERT_EQ(0, ComTimerStart(p, h0));
    DeliverUsr1();
    EXPECT_EQ("0 1 100 0", Slot(0));
    QueueExpiry(101);
    ASSERT_EQ(0, ComTimerCancel(p, h0));
    EXPECT_EQ("0 1 101 1", Slot(1));
    EXPECT_EQ("1 0 100 0", Slot(0));
}

// A served one-shot keeps its timer; delete removes every timer and pipe.
TEST_F(Engine, ExpiredOneShotKeepsItsTimerUntilDeleted)
{
    int h = Set(KVO_TIMER_ONESHOT, 20);
    ASSERT_EQ(0, ComSelectInit(p));
    ASSERT_EQ(0, ComTimerStart(p, h));
    ASSERT_EQ(KVO_SELECT_INTERRUPTED, ComSelect(p));
    ASSERT_EQ(0, ComSelect(p));
    timer_t id = p->TimerCntInfo[0].timerId;
    EXPECT_EQ(0, ComTimerCancel(p, h));
    EXPECT_TRUE(TimerExists(id));
    ASSERT_EQ(0, ComTimeReSetTimer(p, h, 60000));
    ASSERT_EQ(0, ComTimerStart(p, h));
    EXPECT_EQ(id, p->TimerCntInfo[0].timerId);
    p->TimerCntInfo[0].iTimerState = 0; // expired and served, as ComSelect leaves it
    int h1 = Set(KVO_TIMER_ONESHOT, 60000);
    ASSERT_EQ(0, ComTimerStart(p, h1));
    timer_t id1 = p->TimerCntInfo[1].timerId;
    int r0 = ReadEnd(0);
    ASSERT_EQ(0, ComTimerDelete(p));
    EXPECT_FALSE(TimerExists(id) || TimerExists(id1));
    EXPECT_TRUE(fcntl(h, F_GETFD) == -1 && fcntl(r0, F_GETFD) == -1 && fcntl(h1, F_GETFD) == -1);
    EXPECT_TRUE(!FD_ISSET(r0, &p->stSelectFds) && p->iTimerCount == 0);
}

// Refused arming deletes its timer; periodic restart; a pipe close failure fails delete.
TEST_F(Engine, RefusedArmingAndRestartWithANewTime)
{
    EXPECT_EQ(-1, ComTimerStart(p, Set(KVO_TIMER_ONESHOT, -250)));
    EXPECT_EQ(1, logs.Count("error of timer_settime(errno=22)\n", LOG_INFO));
    EXPECT_TRUE(Slot(0) == "1 0 100 0" && !TimerExists(p->TimerCntInfo[0].timerId));
    int h = Set(KVO_TIMER_PERIODIC, 60000);
    EXPECT_EQ(-1, ComTimeUpTimerStart(p, h, 0));
    ASSERT_EQ(0, ComTimerStart(p, h));
    ASSERT_EQ(0, ComTimeUpTimerStart(p, h, 1500));
    struct itimerspec v;
    ASSERT_EQ(0, timer_gettime(p->TimerCntInfo[1].timerId, &v));
    EXPECT_TRUE(v.it_interval.tv_sec == 1 && v.it_interval.tv_nsec == 500000000 &&
                p->TimerCntInfo[1].iTimerMsec == 1500);
    const int h0 = p->TimerCntInfo[0].iTimerSelectDes[1];
    close(h0); // behind the runtime's back: delete fails and says so
    EXPECT_EQ(-1, ComTimerDelete(p));
    EXPECT_EQ("pipeWriteClose failed(iTimerSelectDes=" + std::to_string(h0) + ", errno=9)\n",
              logs.AtPriority(LOG_INFO).back());
    ASSERT_EQ(0, pipe(p->TimerCntInfo[0].iTimerSelectDes)); // whole again for the teardown
}

// Milliseconds to "value interval", in the kernel after a start and as ReSet stores it.
TEST_F(Engine, MillisecondsConvertToArming)
{
    const struct { int mode, ms; const char *arming; } cases[] = {{KVO_TIMER_ONESHOT, 999, "0.999000000 0.000000000"},
                 {KVO_TIMER_ONESHOT, 1000, "1.000000000 0.000000000"},
                 {KVO_TIMER_PERIODIC, 1500, "1.500000000 1.500000000"}};
    auto text = [](const struct itimerspec &v) {
        char s[64];
        return std::snprintf(s, sizeof s, "%ld.%09ld %ld.%09ld", static_cast<long>(v.it_value.tv_sec),
                             v.it_value.tv_nsec, static_cast<long>(v.it_interval.tv_sec), v.it_interval.tv_nsec),
               std::string(s);
    };
    for (const auto &c : cases) {
        int h = Set(c.mode, c.ms), slot = p->iTimerCount - 1;
        ASSERT_EQ(0, ComTimerStart(p, h));
        struct itimerspec k;
        ASSERT_EQ(0, timer_gettime(p->TimerCntInfo[slot].timerId, &k));
        EXPECT_EQ(std::string(c.arming).substr(12), text(k).substr(12)) << c.ms;
        p->TimerCntInfo[slot].itval = {};
        ASSERT_EQ(0, ComTimeReSetTimer(p, h, c.ms));
        EXPECT_EQ(c.arming + std::string(" 0"),
                  text(p->TimerCntInfo[slot].itval) + " " + std::to_string(p->TimerCntInfo[slot].iTimerState));
    }
}

// Elapsed time of a running slot; beyond 2^31 ns it must not overflow on 32 bits.
TEST_F(Engine, ElapsedTimeAlsoBeyondThreeSeconds)
{
    int h = Set(KVO_TIMER_ONESHOT, 10000);
    EXPECT_EQ(-1, ComTimerGet(p, h)); // stopped
    int64_t t0 = NowMs();
    ASSERT_EQ(0, ComTimerStart(p, h));
    usleep(50000);
    int got = ComTimerGet(p, h);
    EXPECT_TRUE(got >= 49 && got <= NowMs() - t0 + 1) << got;
    p->TimerCntInfo[0].itval.it_value.tv_sec += 20;
    got = ComTimerGet(p, h);
    EXPECT_TRUE(got >= 20049 && got <= 20000 + NowMs() - t0 + 1) << got;
}

// source: 't' timer expiry, 'q' sigqueue, 'k' kill; start1: slot 1 runs too; slotWritten -1: none
struct SignalCase { char source; int value; bool start1; int slotWritten; };

class TimerSignal : public Engine, public ::testing::WithParamInterface<SignalCase> {};

// An expiry reaches only the running slot it names; sigqueue (forged) or kill, none.
TEST_P(TimerSignal, ReachesOnlyTheRunningSlotItNames)
{
    const SignalCase &c = GetParam();
    ASSERT_EQ(0, ComTimerStart(p, Set(KVO_TIMER_ONESHOT, 60000)));
    int h1 = Set(KVO_TIMER_ONESHOT, 60000);
    ASSERT_EQ(0, c.start1 ? ComTimerStart(p, h1) : 0);
    const union sigval v = {c.value};
    if (c.source == 't')
        QueueExpiry(c.value);
    else
        EXPECT_EQ(0, c.source == 'q' ? sigqueue(getpid(), SIGUSR1, v) : kill(getpid(), SIGUSR1));
    DeliverUsr1();
    EXPECT_EQ(c.slotWritten == 0, Pending(0) == 1);
    EXPECT_EQ(c.slotWritten == 1, Pending(1) == 1);
    EXPECT_EQ(c.slotWritten >= 0, p->iSigState == 1);
    EXPECT_EQ(1, logs.Count("end of SigAlrmHandler()\n", LOG_DEBUG));
}

INSTANTIATE_TEST_SUITE_P(Values, TimerSignal,
                         ::testing::Values(SignalCase{'t', 100, true, 0}, SignalCase{'t', 101, true, 1},
                                           SignalCase{'t', 101, false, -1}, SignalCase{'t', 105, true, -1},
                                           SignalCase{'q', 100, true, -1}, SignalCase{'k', 0, true, -1}));

TEST_F(Engine, SignalWriteFailureIsLoggedAndErrnoKept)
{
    int h = Set(KVO_TIMER_ONESHOT, 60000);
    ASSERT_EQ(0, ComTimerStart(p, h));
    p->TimerCntInfo[0].iTimerSelectDes[1] = -1; // a write end that fails
    siginfo_t info = {};
    info.si_value.sival_int = 100;
    errno = EDOM;
    SigAlrmHandler(SIGUSR1, &info, nullptr);
    p->TimerCntInfo[0].iTimerSelectDes[1] = h;
    EXPECT_TRUE(errno == EDOM && p->iSigState == 1);
    EXPECT_EQ(1, logs.Count("send failed(1, errno=9(" + std::string(strerror(EBADF)) + "))\n", LOG_INFO));
    EXPECT_EQ(0, logs.Count("end of SigAlrmHandler()\n")); // the expiry was lost
}

// Both encodings (lower bounds); beyond usleep's 32 bits the longest sleep, not a wrap.
TEST(SleepTicks, BothEncodingsAndTheCap)
{
    const std::pair<uint32_t, int> cases[] = {{5, 50}, {0x80000000u | 320, 1250}};
    LogCapture logs;
    for (const auto &c : cases) {
        int64_t t0 = NowMs();
        SleepTicks(c.first);
        EXPECT_GE(NowMs() - t0, c.second);
    }
    void (*old)(int) = signal(SIGALRM, [](int) {}); // sleeps are never restarted
    struct itimerval it = {{0, 0}, {0, 100000}};
    setitimer(ITIMER_REAL, &it, nullptr);
    SleepTicks(0x7fffffffu);
    signal(SIGALRM, old);
    std::vector<std::string> sleeps;
    for (const std::string &l : logs.AtPriority(LOG_DEBUG))
        if (l.rfind("usleep", 0) == 0)
            sleeps.push_back(l);
    EXPECT_EQ((std::vector<std::string>{"usleep = 50000\n", "usleep = 1\n", "usleep = 0.250000\n", "usleep = -1\n"}),
              sleeps); // -1: UINT32_MAX
}

// Paths move below KVO_ROOT; a root too long points nowhere, never at a cut-off path.
TEST(FixedPaths, DocumentedWithoutRootAndMovedByIt)
{
    KvoRoot keep; // KVO_ROOT restored afterwards
    for (const char *root : {"", "/tmp/bb"}) {
        setenv("KVO_ROOT", root, 1);
        for (int id = 0; id < KVO_PATH_COUNT; ++id)
            EXPECT_EQ(root + std::string(KvoBasePath(KvoPathId(id))), KvoPath(KvoPathId(id)));
    }
    unsetenv("KVO_ROOT");
    EXPECT_EQ("/tmp/pipe/FifoGdbt /tmp/pipe/FifoSts /usr/local/jx/ap/sys/shm-key",
              std::string(KvoPath(KVO_PATH_FIFO_GDBT)) + " " + FIFO_NAME_STS + " " + KvoPath(KVO_PATH_SHM_KEY));
    setenv("KVO_ROOT", ("/tmp/" + std::string(400, 'x')).c_str(), 1);
    EXPECT_EQ(0u, std::string(KvoPath(KVO_PATH_FIFO_STS)).rfind("/nonexistent/", 0)) << KvoPath(KVO_PATH_FIFO_STS);
}

} // namespace
