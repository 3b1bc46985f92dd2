// costs.cpp - the harness's cost figures: a run of N command frames for the
// system-call and instruction counters to look at (and with the monitor
// attached, for its cost per frame), command throughput from
// several writers (service, reference loop, bare FIFO), memory footprint,
// and the smoke run.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "crkeyemu.h"
#include "figures.h"
#include "procstat.h"

namespace {

// Writers, each with its own descriptor, write `each` frames; blocking
// writes, so a full FIFO holds them back as it would a peer module.
std::vector<pid_t> StartWriters(const std::string &fifo, int writers, long each)
{
    std::vector<pid_t> pids;
    auto frame = EncodeFrame(MakeFrame(MODID_STS, CMDID_ALIVE_REQ));
    for (int w = 0; w < writers; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            for (long i = 0; fd >= 0 && i < each; ++i) {
                if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
                    _exit(1);
            }
            _exit(fd >= 0 ? 0 : 1);
        }
        if (pid > 0)
            pids.push_back(pid);
    }
    return pids;
}

bool ReapWriters(const std::vector<pid_t> &pids)
{
    bool ok = true;
    for (pid_t pid : pids) {
        int st = 0;
        waitpid(pid, &st, 0);
        ok = ok && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    return ok;
}

// Counts frames with cid arriving on fd until n have come; the time of the last.
long CountFrames(int fd, int cid, long n, int64_t *tLast)
{
    uint8_t f[FIFO_MSG_SIZE];
    long got = 0;
    while (got < n) {
        ssize_t r = read(fd, f, sizeof f);
        if (r == static_cast<ssize_t>(sizeof f)) {
            got += ParseFrame(f, sizeof f).cid == cid;
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
    }
    *tLast = NowNs();
    return got;
}

// The reference loop on the board's FIFOs: commands on FifoGdbt, answers to
// FifoSts; ready once it has answered a first command.
pid_t StartReference(Board *b, const std::string &path, const std::vector<std::string> &wrap = {})
{
    std::vector<std::string> args = wrap;
    args.push_back(wrap.empty() ? std::string("refloop") : path);
    args.push_back(b->Path(KVO_PATH_FIFO_GDBT));
    args.push_back(b->Path(KVO_PATH_FIFO_STS));
    std::vector<char *> argv;
    for (auto &s : args)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (wrap.empty())
            execv(path.c_str(), argv.data());
        else
            execvp(argv[0], argv.data());
        _exit(127);
    }
    Arrival r;
    if (pid < 0 || !b->Send(MakeFrame(MODID_STS, CMDID_ALIVE_REQ)) ||
        !b->Next(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, wrap.empty() ? 5000 : 120000, &r)) {
        std::fprintf(stderr, "kvobench: reference loop did not answer\n");
        return -1;
    }
    return pid;
}

// kvomsg monitor following the service, its frame lines into out and its
// own into err (both in the board's root); its pid once it says it is
// monitoring, -1 if it does not within ten seconds.
pid_t StartMonitor(const Board &b, const std::string &kvomsg, const std::string &out, const std::string &err)
{
    // Everything the child needs is made before the fork: the board has threads.
    const std::string pid = std::to_string(b.Pid()), root = "KVO_ROOT=" + b.Dir();
    std::vector<char *> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "KVO_ROOT=", 9) != 0)
            env.push_back(*e);
    env.push_back(const_cast<char *>(root.c_str()));
    env.push_back(nullptr);
    const char *argv[] = {"kvomsg", "monitor", "--pid", pid.c_str(), nullptr};
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t mon = o < 0 || e < 0 ? -1 : fork();
    if (mon == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (dup2(o, 1) == 1 && dup2(e, 2) == 2)
            execve(kvomsg.c_str(), const_cast<char **>(argv), env.data());
        _exit(127);
    }
    close(o);
    close(e);
    for (int i = 0; mon > 0 && i < 1000; ++i) {
        std::ifstream in(err);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find("kvomsg: monitoring") != std::string::npos)
            return mon;
        if (waitpid(mon, nullptr, WNOHANG) == mon) {
            std::fprintf(stderr, "kvobench: the monitor did not attach: %s\n", text.c_str());
            return -1;
        }
        usleep(10000);
    }
    if (mon < 0) {
        std::fprintf(stderr, "kvobench: cannot start %s: %s\n", kvomsg.c_str(), std::strerror(errno));
        return -1;
    }
    kill(mon, SIGTERM);
    waitpid(mon, nullptr, 0);
    std::fprintf(stderr, "kvobench: the monitor did not attach within ten seconds\n");
    return -1;
}

size_t CountLines(const std::string &path)
{
    std::ifstream in(path);
    size_t n = 0;
    for (std::string line; std::getline(in, line);)
        ++n;
    return n;
}

int StopReference(Board *b, pid_t pid)
{
    b->Send(MakeFrame(MODID_STS, CMDID_TERMINATE, {0}));
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

} // namespace

int RunFrames(const Args &a)
{
    const long count = a.Num("count", 1000);
    const bool ref = a.Flag("ref");
    Board b;
    pid_t refPid = -1;
    if (!OpenBoard(&b, a, a.Flag("emu"), false, static_cast<int>(a.Num("level", LOG_INFO)), !ref))
        return 1;
    if (ref && (refPid = StartReference(&b, a.Str("ref"), a.wrap)) < 0)
        return 1;
    // --monitor: kvomsg monitor follows the service all along (on the host
    // only, and not behind a wrapper that traces).
    const bool monitor = a.Flag("monitor") && !ref;
    const std::string monOut = b.Dir() + "/monitor.out", monErr = b.Dir() + "/monitor.err";
    pid_t mon = -1;
    const std::string kvomsg = a.Str("monitor").empty() ? KVO_KVOMSG_BIN : a.Str("monitor");
    if (monitor && (mon = StartMonitor(b, kvomsg, monOut, monErr)) < 0)
        return 1;
    const int waitMs = a.wrap.empty() ? 5000 : 60000;
    Arrival r;
    int64_t t0 = NowNs();
    for (long i = 0; i < count; ++i) {
        if (!b.Send(MakeFrame(MODID_STS, CMDID_ALIVE_REQ), 60000) ||
            !b.Next(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, waitMs, &r)) {
            std::fprintf(stderr, "kvobench: frame %ld: no answer\n", i);
            return 1;
        }
    }
    int64_t t1 = NowNs();
    int st = ref ? StopReference(&b, refPid) : b.Stop(a.wrap.empty() ? 20000 : 120000);
    std::printf("frames %ld\nframe_round_trip_us %.2f\nstop_status %d\n", count,
                static_cast<double>(t1 - t0) / 1000.0 / static_cast<double>(count), st);
    if (monitor) {
        // It ends with the service; one line for each frame read and written,
        // the 900 and the 605 included.
        int ms = 0;
        waitpid(mon, &ms, 0);
        size_t lines = CountLines(monOut);
        std::printf("monitor_lines %zu\nmonitor_status %d\n", lines, WIFEXITED(ms) ? WEXITSTATUS(ms) : -1);
        if (lines != static_cast<size_t>(2 * count + 2) || !WIFEXITED(ms) || WEXITSTATUS(ms) != 0) {
            std::fprintf(stderr, "kvobench: the monitor printed %zu lines for %ld frames\n", lines, count);
            return 1;
        }
    }
    return st == 0 ? 0 : 1;
}

int RunThroughput(const Args &a)
{
    const long count = a.Num("count", 20000);
    const int writers = static_cast<int>(a.Num("writers", 4));
    const long each = count / writers;
    const long total = each * writers;
    const std::string what = a.Str("what", "service"); // service, reference, raw
    Board b;
    if (!OpenBoard(&b, a, false, false, LOG_INFO, what == "service"))
        return 1;
    pid_t ref = -1;
    if (what == "reference" && (ref = StartReference(&b, a.Str("ref"))) < 0)
        return 1;
    // Bare: the same frames into the same FIFO, read by us as the service would.
    const bool raw = what == "raw";
    const int inFd = b.Fd(raw ? KVO_PATH_FIFO_GDBT : KVO_PATH_FIFO_STS);
    const int cid = raw ? CMDID_ALIVE_REQ : CMDID_ALIVE_ANS;
    b.Skip();

    int64_t t0 = NowNs();
    std::vector<pid_t> pids = StartWriters(b.Path(KVO_PATH_FIFO_GDBT), writers, each);
    int64_t t1 = 0;
    long got = CountFrames(inFd, cid, total, &t1);
    bool writersOk = ReapWriters(pids);
    int st = 0;
    if (what == "service")
        st = b.Stop();
    else if (what == "reference")
        st = StopReference(&b, ref);
    double secs = static_cast<double>(t1 - t0) / 1e9;
    std::printf("what %s\nwriters %d\nframes %ld\nanswered %ld\nseconds %.4f\nframes_per_s %.0f\nstop_status %d\n",
                what.c_str(), writers, total, got, secs, static_cast<double>(got) / secs, st);
    return got == total && writersOk && st == 0 ? 0 : 1;
}

int RunFootprint(const Args &a)
{
    auto report = [](const char *name, pid_t pid) {
        using kvoboard::ProcField;
        std::printf("%s_vmrss_kb %ld\n", name, ProcField(pid, "status", "VmRSS:"));
        std::printf("%s_rss_kb %ld\n", name, ProcField(pid, "smaps_rollup", "Rss:"));
        std::printf("%s_pss_kb %ld\n", name, ProcField(pid, "smaps_rollup", "Pss:"));
        long pc = ProcField(pid, "smaps_rollup", "Private_Clean:");
        long pd = ProcField(pid, "smaps_rollup", "Private_Dirty:");
        std::printf("%s_private_kb %ld\n%s_private_dirty_kb %ld\n", name, pc + pd, name, pd);
    };
    int rc = 0;
    for (bool emu : {false, true}) {
        Board b;
        if (!OpenBoard(&b, a, emu, false))
            return 1;
        // One command and one press first, so that every path has run once.
        Arrival r;
        b.Send(MakeFrame(MODID_STS, CMDID_ALIVE_REQ));
        b.Next(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, 5000, &r);
        if (emu) {
            CrKeyEmuPress(b.Device());
            b.Next(KVO_PATH_FIFO_EK, CMDID_GDBT_PRESS, 5000, &r);
            CrKeyEmuRelease(b.Device());
        }
        report(emu ? "service_emu" : "service", b.Pid());
        rc |= b.Stop() == 0 ? 0 : 1;
    }
    if (a.Flag("ref")) {
        Board b;
        if (!OpenBoard(&b, a, false, false, LOG_INFO, false))
            return 1;
        pid_t ref = StartReference(&b, a.Str("ref"));
        if (ref < 0)
            return 1;
        report("reference", ref);
        rc |= StopReference(&b, ref) == 0 ? 0 : 1;
    }
    return rc;
}

int RunSmoke(const Args &a)
{
    Board b;
    if (!OpenBoard(&b, a, true, false, LOG_DEBUG))
        return 1;
    Arrival r;
    bool pressed = CrKeyEmuPress(b.Device()) && b.Next(KVO_PATH_FIFO_EK, CMDID_GDBT_PRESS, 10000, &r);
    bool answered =
        b.Send(MakeFrame(MODID_STS, CMDID_ALIVE_REQ)) && b.Next(KVO_PATH_FIFO_STS, CMDID_ALIVE_ANS, 10000, &r);
    int st = b.Stop();
    struct stat logSt {};
    bool logged = stat(b.LogPath().c_str(), &logSt) == 0 && logSt.st_size > 0;
    std::printf("press_event %s\nalive_answer %s\nlog_written %s\nstop_status %d\n", pressed ? "yes" : "no",
                answered ? "yes" : "no", logged ? "yes" : "no", st);
    return pressed && answered && logged && st == 0 ? 0 : 1;
}
