// kvosim.cpp - the simulated controller's entry: reads the command line and
// the scenario, runs it (or takes steps typed at a prompt), prints the
// summary and writes the diagrams.  Exit status 0 only when every
// expectation held; 1 when one was missed; 2 for a bad command line or
// scenario.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "demo.h"
#include "diagram.h"
#include "kvoruntime.h"
#include "options.h"

#ifndef KVOSIM_DEFAULT_SERVICE
#define KVOSIM_DEFAULT_SERVICE "kvogdbt"
#endif

namespace {

constexpr int kMissed = 1;
constexpr int kBadInput = 2;
constexpr int kInterrupted = 130;

void OnSignal(int) { Runner::Interrupt(); }

void InstallSignals()
{
    struct sigaction sa {};
    sa.sa_handler = OnSignal; // no SA_RESTART: the pump's poll returns at once
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// The simulator's own runtime calls report their failures here.
void RuntimeLine(int priority, const char *text, void *ctx)
{
    // Failure lines of the runtime say "error" or "failed"; its other
    // info-level lines (a successful attach, say) are noise here.
    if (priority > LOG_INFO || (!std::strstr(text, "error") && !std::strstr(text, "failed")))
        return;
    std::string line = text;
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    static_cast<Timeline *>(ctx)->Line("          runtime: " + line);
}

bool ReadFile(const std::string &path, std::string *text)
{
    std::ifstream in(path);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

bool UseColor(const SimOptions &o)
{
    const char *term = std::getenv("TERM");
    return !o.noColor && isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr &&
           !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

const char kInteractiveHelp[] =
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
    "       quit\n";

// One typed line; false when the session ends.
bool TypedLine(Runner *runner, const std::string &line, int lineNo)
{
    std::string word = line.substr(0, line.find_first_of(" \t"));
    if (word == "quit" || word == "exit")
        return false;
    if (word == "help" || word == "?") {
        std::fputs(kInteractiveHelp, stdout);
        return true;
    }
    Step s;
    bool empty = false;
    std::string error;
    if (!ParseStep(line, "input", lineNo, &s, &empty, &error))
        std::fprintf(stdout, "%s\n", error.c_str());
    else if (!empty)
        return runner->Execute(s);
    return true;
}

void Interactive(Runner *runner)
{
    Step start;
    start.kind = StepKind::Start;
    if (!runner->Execute(start))
        return;
    std::printf("kvosim: type steps, 'help' for a list, 'quit' to end\nkvosim> ");
    std::fflush(stdout);
    std::string pending;
    int lineNo = 0;
    while (runner->IdleUntilReadable(STDIN_FILENO)) {
        char buf[512];
        ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (!TypedLine(runner, line, ++lineNo))
                return;
            std::printf("kvosim> ");
            std::fflush(stdout);
        }
    }
}

bool WriteDiagrams(const SimOptions &o, const std::vector<Event> &events, Timeline *tl)
{
    Sequence seq = BuildSequence(events);
    std::string error;
    bool ok = true;
    if (!o.svg.empty() && !WriteTextFile(o.svg, SequenceSvg(seq), &error))
        ok = false;
    if (ok && !o.mermaid.empty() && !WriteTextFile(o.mermaid, SequenceMermaid(seq), &error))
        ok = false;
    if (!ok)
        tl->Line("kvosim: " + error);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    SimOptions o;
    o.run.service = KVOSIM_DEFAULT_SERVICE;
    std::string error;
    if (!ParseOptions(argc, argv, &o, &error)) {
        std::fprintf(stderr, "kvosim: %s\n%s", error.c_str(), kSimUsage);
        return kBadInput;
    }
    if (o.help || o.printDemo) {
        std::fputs(o.help ? kSimUsage : kDemoScenario, stdout);
        return 0;
    }
    std::string text = kDemoScenario, file = "demo";
    if (!o.scenario.empty()) {
        file = o.scenario;
        if (!ReadFile(file, &text)) {
            std::fprintf(stderr, "kvosim: %s: %s\n", file.c_str(), std::strerror(errno));
            return kBadInput;
        }
    }
    std::vector<Step> steps;
    if (!o.interactive && !ParseScenario(text, file, &steps, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kBadInput;
    }
    Timeline timeline(stdout, UseColor(o));
    ComLogSetMask(LOG_UPTO(LOG_INFO));
    ComLogSetSink(RuntimeLine, &timeline);
    InstallSignals();

    Runner runner(o.run, &timeline);
    if (!runner.Setup(&error)) {
        timeline.Line("kvosim: " + error);
        runner.Finish();
        return kMissed;
    }
    if (o.interactive) {
        Interactive(&runner);
    } else {
        for (const Step &s : steps)
            if (!runner.Execute(s))
                break;
    }
    runner.Finish();
    timeline.Summary(runner.Met(), runner.Missed(), runner.MissedList());
    bool wrote = WriteDiagrams(o, runner.Events(), &timeline);
    if (Runner::Interrupted())
        return kInterrupted;
    return runner.Missed() == 0 && wrote ? 0 : kMissed;
}
