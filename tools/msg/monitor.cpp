// monitor.cpp - `kvomsg monitor`: which processes to follow, the checks
// before (the FIFO folder, the processes' KVO_ROOT), and the run of the
// tracer (tracer.cpp) until Ctrl-C or the end of the last process.
#include "monitor.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

#include "kvoruntime.h"
#include "procfs.h"
#include "tracer.h"

namespace {

constexpr int kFailed = 1;

std::string RootOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::string var;
    while (std::getline(in, var, '\0'))
        if (var.compare(0, 9, "KVO_ROOT=") == 0)
            return var.substr(9);
    return "";
}

std::string RootWords(const std::string &root)
{
    return root.empty() ? "without KVO_ROOT" : "with KVO_ROOT=" + root;
}

// A process under another KVO_ROOT uses FIFOs the monitor does not look at.
// The environment in /proc is the one the process started with.
void CheckRoot(const FifoHolder &p)
{
    const char *env = std::getenv("KVO_ROOT");
    std::string mine = env != nullptr ? env : "", theirs = RootOf(p.pid);
    if (theirs != mine)
        std::fprintf(stderr, "kvomsg: note: %s was started %s, this monitor runs %s: its FIFOs may "
                     "be elsewhere\n", ProcessLabel(p.pid, p.command).c_str(), RootWords(theirs).c_str(),
                     RootWords(mine).c_str());
}

// The processes to follow: those named by --pid and those running the
// modules asked for; every module process when neither is given.
std::vector<FifoHolder> Targets(const MonitorOptions &o, std::string *error)
{
    std::vector<FifoHolder> found;
    for (pid_t pid : o.pids) {
        if (kill(pid, 0) != 0 && errno == ESRCH) {
            *error = "no process " + std::to_string(pid);
            return {};
        }
        found.push_back({pid, ProcessCommand(pid)});
    }
    std::vector<std::string> names = o.modules;
    if (names.empty() && o.pids.empty())
        names.assign(mod_name_tbl, mod_name_tbl + KVO_MODULE_COUNT);
    for (const FifoHolder &p : ProcessesNamed(names, getpid())) {
        bool known = false;
        for (const FifoHolder &q : found)
            known = known || q.pid == p.pid;
        if (!known)
            found.push_back(p);
    }
    if (found.empty() && !names.empty())
        *error = "no process runs " +
                 (o.modules.empty() ? std::string("a module of the module table") : names[0]) +
                 " (give one with --pid)";
    return found;
}

} // namespace

int Monitor(const MonitorOptions &options)
{
    std::string error;
    std::vector<FifoHolder> targets = Targets(options, &error);
    if (targets.empty()) {
        std::fprintf(stderr, "kvomsg: %s\n", error.c_str());
        return kFailed;
    }
    for (const FifoHolder &p : targets)
        CheckRoot(p);
    char dir[PATH_MAX];
    const char *fifoDir = KvoPath(KVO_PATH_FIFO_DIR);
    if (realpath(fifoDir, dir) == nullptr) {
        std::fprintf(stderr, "kvomsg: the FIFO folder %s does not exist (is KVO_ROOT right?)\n",
                     fifoDir);
        return kFailed;
    }
    // Blocked before the first stop, so that no stop's SIGCHLD is lost.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGCHLD, SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);

    Tracer tracer(dir, options.count, options.registers);
    for (const FifoHolder &p : targets) {
        if (!tracer.Attach(p.pid, &error)) {
            tracer.DetachAll();
            std::fprintf(stderr, "kvomsg: %s\n", error.c_str());
            return kFailed;
        }
    }
    std::fprintf(stderr, "kvomsg: monitoring %s on %s/ (Ctrl-C to stop)\n", ProcessLabels(targets).c_str(),
                 dir);
    tracer.Run(signals);
    std::string held = tracer.Held();
    tracer.DetachAll();
    if (!held.empty())
        std::fprintf(stderr, "kvomsg: detached from %s\n", held.c_str());
    return 0;
}
