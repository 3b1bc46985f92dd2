// session.cpp - the typed steps and the standing board.  A service that
// someone started by hand (kvocrkey) reads the board's command FIFO; the
// board knows it only by that and by its frames.
#include "session.h"

#include <sys/stat.h>
#include <unistd.h>

#include "procfs.h"
#include "prompt.h"

#ifndef KVOSIM_KVOCRKEY
#define KVOSIM_KVOCRKEY "kvocrkey"
#endif
#ifndef KVOSIM_KVOMSG
#define KVOSIM_KVOMSG "kvomsg"
#endif

namespace {

constexpr int kHandStopMs = 5000; // for a service started by hand to end after 900

const char kStepHelp[] =
    "steps: press | release | release after N polls | byte N | hold TIME | wait TIME\n"
    "       fail open|setpoll|getsts|read ERRNO | fail read eof\n"
    "       set hold on|off | set auth C | set mode parent|direct | set inhibit N\n"
    "       set config|other OFFSET VALUE.. | set config|other missing\n"
    "       send MODULE COMMAND [\"text\" | hex 01 02 | state N | at N]..\n"
    "       answer COMMAND with COMMAND [data..] | answer COMMAND none\n"
    "       expect PEER COMMAND [data..] [from MODULE] [within TIME]\n"
    "       expect none [PEER [COMMAND]] for TIME\n"
    "       expect [none] log [exact] \"TEXT\" [priority N] [within TIME | for TIME]\n"
    "       expect opens|setpolls|polls|polltime N | expect exit N | then expect ...\n"
    "       (TIME: 3s, 1.5s, 250ms)\n"
    "       quit";

// One typed line; false when it ends the session.
bool TypedLine(Runner *runner, Timeline *timeline, const std::string &line, int lineNo)
{
    std::string word = line.substr(0, line.find_first_of(" \t"));
    if (word == "quit" || word == "exit")
        return false;
    if (word == "help" || word == "?") {
        timeline->Line(kStepHelp);
        return true;
    }
    Step s;
    bool empty = false;
    std::string error;
    if (!ParseStep(line, "input", lineNo, &s, &empty, &error))
        timeline->Line(error);
    else if (!empty)
        return runner->Execute(s);
    return true;
}

// Processes other than this one that read the command FIFO: a service
// started by hand.
std::vector<FifoHolder> HandServices(Runner *runner)
{
    struct stat st;
    int unreadable = 0;
    std::string fifo = runner->Board()->Path(KVO_PATH_FIFO_GDBT);
    if (stat(fifo.c_str(), &st) != 0)
        return {};
    return FifoReaders(st, getpid(), &unreadable);
}

// The status module ends a service started by hand in order before its
// controller goes away, as it ends its modules.
void StopHandService(Runner *runner)
{
    std::vector<FifoHolder> readers = HandServices(runner);
    if (readers.empty())
        return;
    runner->Note("end of the board: the status module orders " + ProcessLabels(readers) + " to end");
    if (!runner->Board()->Send(MakeFrame(MODID_STS, CMDID_TERMINATE, {0}), kHandStopMs) ||
        !runner->Pump(kHandStopMs, [&] { return HandServices(runner).empty(); }))
        runner->Note("it did not end: still running on a root that is going away", false);
}

void SayWhatNext(const SimOptions &o, const std::string &root, Timeline *timeline)
{
    std::string kvomsg = ToolPath("kvomsg", KVOSIM_KVOMSG);
    std::string level = std::to_string(o.run.level);
    std::string text = "kvosim: a simulated controller stands at " + root +
                       " until Ctrl-C; what the peers receive follows.\n";
    text += o.start ? "kvogdbt runs here: type steps at the prompt (press, release, 'help' lists\n"
                      "them).  From another terminal:\n"
                    : "From other terminals:\n";
    text += "export KVO_ROOT=" + root + "\n";
    if (!o.start)
        text += "KVO_LOG_TARGET=stderr " + ToolPath("kvocrkey", KVOSIM_KVOCRKEY) + " -- " +
                o.run.service + " 52 " + level +
                "   # the service on an emulated button: type press, release (kvocrkey --help)\n";
    text += kvomsg + " send FifoGdbt sts terminate --hex 00" +
            "   # the status module's 900: the service ends\n";
    text += kvomsg + " send FifoGdbt sts 901   # any frame to the service (kvomsg --help)";
    timeline->Line(text);
}

} // namespace

TypedEnd TypeSteps(Runner *runner, Timeline *timeline)
{
    Prompt prompt("kvosim> ");
    timeline->Share(&prompt);
    std::vector<std::string> lines;
    int lineNo = 0;
    TypedEnd end = TypedEnd::Interrupted;
    while (runner->IdleUntilReadable(STDIN_FILENO)) {
        bool open = prompt.Read(&lines);
        bool quit = false;
        if (!lines.empty()) {
            prompt.Busy(); // a step's output, then the prompt below it
            for (size_t i = 0; i < lines.size() && !quit; ++i)
                quit = !TypedLine(runner, timeline, lines[i], ++lineNo) || Runner::Interrupted();
            lines.clear();
            prompt.Ready();
        }
        if (quit || !open) {
            end = Runner::Interrupted() ? TypedEnd::Interrupted
                  : quit                ? TypedEnd::Quit
                                        : TypedEnd::EndOfInput;
            break;
        }
    }
    timeline->Share(nullptr);
    return end;
}

int Standing(const SimOptions &o, Timeline *timeline)
{
    RunOptions run = o.run;
    run.device = o.start; // a service started by hand brings its own (kvocrkey)
    run.standing = true;
    run.quietWaitMs = 0;
    Runner runner(run, timeline);
    std::string error;
    if (!runner.Setup(&error)) {
        timeline->Line("kvosim: " + error);
        runner.Finish();
        return 1;
    }
    SayWhatNext(o, runner.Board()->Dir(), timeline);
    Step start;
    start.kind = StepKind::Start;
    bool ok = !o.start || runner.Execute(start);
    // The end of typed input leaves the board standing until interrupted.
    if (ok && (!o.start || TypeSteps(&runner, timeline) == TypedEnd::EndOfInput))
        while (runner.IdleUntilReadable(-1)) {
        }
    Runner::ClearInterrupt();
    StopHandService(&runner);
    runner.Finish();
    return ok ? 0 : 1;
}
