// main.cpp - kvobench, the harness that measures the real service on the
// emulated board.  One subcommand per figure; scripts/bench runs them all
// and turns their "name value" lines into bench/results.md.
//
//   kvobench SUBCOMMAND [--name value | --flag]... [-- WRAPPER...]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "figures.h"

namespace {

struct Command {
    const char *name;
    int (*run)(const Args &);
    const char *help;
};

constexpr Command kCommands[] = {
    {"latency", RunLatency, "--count N [--hold] [--samples FILE]   press to press event"},
    {"hold", RunHold, "--count N [--load K] [--samples FILE]  press to guard request"},
    {"rtt", RunRtt, "--count N [--load K] [--gap-ms G]      emulated driver round trip"},
    {"rtt-child", RunRttChild, "(internal)"},
    {"timer", RunTimer, "--count N [--load K] [--slack NS]      one 250 ms timer expiry, no service"},
    {"idle", RunIdle, "--seconds S                            wake-ups and CPU time at idle"},
    {"frames", RunFrames, "--count N --level L [--emu] [--monitor] [-- WRAP]  N command frames, one at a time "
                          "(--monitor: kvomsg monitor follows the service)"},
    {"throughput", RunThroughput, "--what service|reference|raw --count N --writers W [--ref PATH]"},
    {"footprint", RunFootprint, "[--ref PATH]                          memory of the running service"},
    {"smoke", RunSmoke, "                                       the harness works"},
};

int Usage()
{
    std::fprintf(stderr, "usage: kvobench SUBCOMMAND [options] [-- WRAPPER...]\n");
    for (const Command &c : kCommands)
        std::fprintf(stderr, "  %-11s %s\n", c.name, c.help);
    std::fprintf(stderr, "  every subcommand also takes --gdbt PATH (default: the built service)\n");
    return 2;
}

double Rank(const std::vector<double> &sorted, double q)
{
    // Nearest rank: the smallest sample with at least q of them at or below it.
    size_t i = static_cast<size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
    i = std::min(std::max<size_t>(i, 1), sorted.size());
    return sorted[i - 1];
}

} // namespace

bool OpenBoard(Board *b, const Args &a, bool emu, bool hold, int level, bool start)
{
    kvoboard::BoardSetup setup;
    setup.device = emu;
    setup.service = a.gdbt;
    kvoboard::Launch launch;
    launch.service = a.gdbt;
    launch.level = std::to_string(level);
    launch.wrap = a.wrap;
    std::string error;
    bool ok = b->Create(setup, &error);
    if (ok) {
        b->SetGuardButton(hold ? '1' : '0');
        b->SetAuthFlag('5');
    }
    if (ok && start && !(ok = b->Start(launch, &error)))
        error = "cannot start " + a.gdbt + ": " + error;
    // Under valgrind start-up takes seconds.
    if (ok && start && b->AwaitStartup(a.wrap.empty() ? 20000 : 120000) != 0) {
        ok = false;
        error = b->Running() ? "no start-up report, or one with result 1"
                             : "service ended at start-up, status " + std::to_string(b->Process().Code());
    }
    if (!ok)
        std::fprintf(stderr, "kvobench: %s\n", error.c_str());
    return ok;
}

Load::Load(int n)
{
    for (int i = 0; i < n; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            volatile unsigned long spin = 0;
            for (;;)
                spin = spin + 1;
        }
        if (pid > 0)
            pids_.push_back(pid);
    }
}

void Load::Stop()
{
    for (pid_t pid : pids_) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pids_.clear();
}

long Args::Num(const std::string &name, long dflt) const
{
    auto it = opt.find(name);
    return it == opt.end() ? dflt : std::strtol(it->second.c_str(), nullptr, 10);
}

std::string Args::Str(const std::string &name, const std::string &dflt) const
{
    auto it = opt.find(name);
    return it == opt.end() ? dflt : it->second;
}

Stats Summarize(std::vector<double> v)
{
    Stats s;
    s.n = v.size();
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.max = v.back();
    s.median = Rank(v, 0.5);
    s.p99 = Rank(v, 0.99);
    s.mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    return s;
}

void PrintStats(const std::string &prefix, const Stats &s)
{
    std::printf("%s_n %zu\n%s_min %.3f\n%s_median %.3f\n%s_p99 %.3f\n%s_max %.3f\n%s_mean %.3f\n",
                prefix.c_str(), s.n, prefix.c_str(), s.min, prefix.c_str(), s.median, prefix.c_str(), s.p99,
                prefix.c_str(), s.max, prefix.c_str(), s.mean);
}

bool WriteSamples(const std::string &path, const std::vector<double> &v)
{
    std::ofstream out(path);
    for (double x : v)
        out << x << "\n";
    return static_cast<bool>(out);
}

int main(int argc, char *argv[])
{
    if (argc < 2)
        return Usage();
    // The runtime calls made here (segments, FIFOs) log nothing of interest.
    ComLogSetMask(LOG_UPTO(LOG_EMERG));
    Args a;
    a.gdbt = KVO_GDBT_BIN;
    char self[4096] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    a.self = n > 0 ? std::string(self, static_cast<size_t>(n)) : argv[0];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            a.wrap.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg.compare(0, 2, "--") != 0)
            return Usage();
        std::string name = arg.substr(2);
        bool hasValue = i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0;
        a.opt[name] = hasValue ? argv[++i] : "";
    }
    if (a.Flag("gdbt"))
        a.gdbt = a.Str("gdbt");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (const Command &c : kCommands) {
        if (std::strcmp(argv[1], c.name) == 0)
            return c.run(a);
    }
    return Usage();
}
