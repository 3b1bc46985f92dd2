// timing.cpp - the harness's time figures on the emulated board: press to
// press event, press to guard request (idle and under load), the emulated
// driver's round trip, and the idle service's wake-ups and CPU time.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <csignal>
#include <sys/prctl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "crkeyemu.h"
#include "figures.h"
#include "procstat.h"

namespace {

constexpr int kGdbtCrGetKeySts = 1; // the driver's key-state request
constexpr int64_t kHoldIdealNs = 3000LL * 1000000; // twelve polls of 250 ms
constexpr int kHoldPolls = 12;

void SleepUs(long us)
{
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace

int RunLatency(const Args &a)
{
    const long count = a.Num("count", 1000);
    const bool hold = a.Flag("hold");
    Board b;
    if (!OpenBoard(&b, a, true, hold))
        return 1;
    std::mt19937 rng(52);
    std::uniform_int_distribution<long> gap(1000, 3000);
    std::vector<double> us;
    Arrival r;
    for (long i = -10; i < count; ++i) { // ten presses to warm up
        b.Skip();
        int64_t t0 = NowNs();
        if (!CrKeyEmuPress(b.Device()) || !b.Next(KVO_PATH_FIFO_EK, CMDID_GDBT_PRESS, 5000, &r)) {
            std::fprintf(stderr, "kvobench: press %ld: no press event\n", i);
            return 1;
        }
        CrKeyEmuRelease(b.Device());
        if (i >= 0)
            us.push_back(static_cast<double>(r.ns - t0) / 1000.0);
        SleepUs(gap(rng)); // every press finds the service waiting
    }
    int st = b.Stop();
    Stats s = Summarize(us);
    PrintStats("press_us", s);
    std::printf("stop_status %d\n", st);
    if (a.Flag("samples"))
        WriteSamples(a.Str("samples"), us);
    return st == 0 ? 0 : 1;
}

int RunHold(const Args &a)
{
    const long count = a.Num("count", 100);
    const int load = static_cast<int>(a.Num("load", 0));
    Board b;
    if (!OpenBoard(&b, a, true, true))
        return 1;
    Load busy(load);
    SleepUs(200000); // let the load settle onto the cores
    std::vector<double> lateMs;
    long early = 0;
    long wrongPolls = 0;
    Arrival r;
    for (long i = 0; i < count; ++i) {
        b.Skip();
        unsigned polls0 = CrKeyEmuGetStats(b.Device()).getStsCalls;
        int64_t t0 = NowNs();
        if (!CrKeyEmuPress(b.Device()) || !b.Next(KVO_PATH_FIFO_AUTH, CMDID_AUTH_GUARD, 10000, &r)) {
            std::fprintf(stderr, "kvobench: hold %ld: no guard request\n", i);
            return 1;
        }
        CrKeyEmuRelease(b.Device());
        int64_t dt = r.ns - t0;
        if (dt < kHoldIdealNs)
            ++early;
        lateMs.push_back(static_cast<double>(dt - kHoldIdealNs) / 1e6);
        SleepUs(20000); // the request ends the hold: no further poll may come
        if (CrKeyEmuGetStats(b.Device()).getStsCalls - polls0 != kHoldPolls)
            ++wrongPolls;
    }
    busy.Stop();
    int st = b.Stop();
    Stats s = Summarize(lateMs);
    PrintStats("late_ms", s);
    std::printf("load %d\nearly %ld\nwrong_poll_count %ld\nstop_status %d\n", load, early, wrongPolls, st);
    if (a.Flag("samples"))
        WriteSamples(a.Str("samples"), lateMs);
    return st == 0 && early == 0 ? 0 : 1;
}

// The emulation serves the driver in this process; the child must be a new
// program so that the preload the emulation set up is loaded into it.
int RunRtt(const Args &a)
{
    const long count = a.Num("count", 1000);
    std::string error;
    CrKeyEmu *emu = CrKeyEmuCreate(&error);
    if (emu == nullptr) {
        std::fprintf(stderr, "kvobench: %s\n", error.c_str());
        return 1;
    }
    for (long i = 0; i < count; ++i)
        CrKeyEmuSendByte(emu, 1);
    CrKeyEmuPress(emu); // so key-state reads answer "pressed", as in a hold; then one more byte
    Load busy(static_cast<int>(a.Num("load", 0)));
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        std::string n = std::to_string(count);
        std::string gap = std::to_string(a.Num("gap-ms", 0));
        execl(a.self.c_str(), "kvobench", "rtt-child", "--count", n.c_str(), "--gap-ms", gap.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    busy.Stop();
    CrKeyEmuDestroy(emu);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}

int RunRttChild(const Args &a)
{
    const long count = a.Num("count", 1000);
    const long gapUs = a.Num("gap-ms", 0) * 1000; // idle time before each request, as between polls
    int fd = open("/dev/cr_key", O_RDWR);
    int p[2];
    if (fd < 0 || pipe(p) != 0) {
        std::perror("kvobench: rtt-child");
        return 1;
    }
    std::vector<double> ioctlUs, readUs, nativeUs;
    auto timed = [](auto call) {
        int64_t t0 = NowNs();
        bool ok = call();
        return ok ? static_cast<double>(NowNs() - t0) / 1000.0 : -1.0;
    };
    for (long i = 0; i < count; ++i) {
        unsigned char b = 0;
        int avail = 0;
        if (gapUs > 0)
            SleepUs(gapUs);
        double io = timed([&] { return ioctl(fd, kGdbtCrGetKeySts, &b) == 0; });
        if (gapUs > 0)
            SleepUs(gapUs);
        double rd = timed([&] { return read(fd, &b, 1) == 1; });
        double nat = timed([&] { return ioctl(p[0], FIONREAD, &avail) == 0; });
        if (io < 0 || rd < 0 || nat < 0) {
            std::fprintf(stderr, "kvobench: rtt-child: request %ld failed\n", i);
            return 1;
        }
        ioctlUs.push_back(io);
        readUs.push_back(rd);
        nativeUs.push_back(nat);
    }
    PrintStats("emu_ioctl_us", Summarize(ioctlUs));
    PrintStats("emu_read_us", Summarize(readUs));
    PrintStats("native_ioctl_us", Summarize(nativeUs));
    return 0;
}

// The platform's own part of the hold: one-shot 250 ms POSIX timers raising
// SIGUSR1 into a pselect wait, each re-armed relative to the moment the wait
// ended, as the service's hold timer is; nothing else runs in between.
void NoteSignal(int, siginfo_t *, void *) {}

int RunTimer(const Args &a)
{
    const long count = a.Num("count", 100);
    Load busy(static_cast<int>(a.Num("load", 0)));
    if (a.Flag("slack"))
        prctl(PR_SET_TIMERSLACK, a.Num("slack", 50000));
    struct sigaction act {};
    act.sa_sigaction = NoteSignal;
    act.sa_flags = SA_SIGINFO;
    sigemptyset(&act.sa_mask);
    sigaction(SIGUSR1, &act, nullptr);
    sigset_t all, wait;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    wait = all;
    sigdelset(&wait, SIGUSR1);
    struct sigevent ev {};
    ev.sigev_notify = SIGEV_SIGNAL;
    ev.sigev_signo = SIGUSR1;
    timer_t timer;
    if (timer_create(CLOCK_REALTIME, &ev, &timer) != 0) {
        std::perror("kvobench: timer_create");
        return 1;
    }
    const struct itimerspec poll = {{0, 0}, {0, 250000000}};
    SleepUs(200000);
    std::vector<double> lateUs;
    long early = 0;
    for (long i = 0; i < count; ++i) {
        int64_t t0 = NowNs();
        timer_settime(timer, 0, &poll, nullptr);
        pselect(0, nullptr, nullptr, nullptr, nullptr, &wait);
        int64_t dt = NowNs() - t0 - 250000000;
        early += dt < 0 ? 1 : 0;
        lateUs.push_back(static_cast<double>(dt) / 1000.0);
    }
    timer_delete(timer);
    busy.Stop();
    PrintStats("expiry_late_us", Summarize(lateUs));
    std::printf("early %ld\nslack_ns %ld\n", early, static_cast<long>(prctl(PR_GET_TIMERSLACK)));
    return 0;
}

int RunIdle(const Args &a)
{
    const long seconds = a.Num("seconds", 60);
    Board b;
    if (!OpenBoard(&b, a, true, true))
        return 1;
    SleepUs(1000000); // start-up's own switches are not idle cost
    ProcCost c0 = ReadProcCost(b.Pid());
    SleepUs(seconds * 1000000);
    ProcCost c1 = ReadProcCost(b.Pid());
    long sysHz = sysconf(_SC_CLK_TCK);
    std::printf("idle_seconds %ld\n", seconds);
    std::printf("threads %d\n", c1.threads);
    std::printf("wakeups_voluntary %ld\n", c1.voluntary - c0.voluntary);
    std::printf("wakeups_involuntary %ld\n", c1.involuntary - c0.involuntary);
    std::printf("wakeups %ld\n", (c1.voluntary - c0.voluntary) + (c1.involuntary - c0.involuntary));
    std::printf("cpu_us %.1f\n", static_cast<double>(c1.cpuNs - c0.cpuNs) / 1000.0);
    std::printf("cpu_ticks %ld\n", c1.ticks - c0.ticks);
    std::printf("tick_us %ld\n", 1000000 / (sysHz > 0 ? sysHz : 100));
    int st = b.Stop();
    std::printf("stop_status %d\n", st);
    return st == 0 ? 0 : 1;
}
