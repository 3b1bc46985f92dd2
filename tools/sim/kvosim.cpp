// kvosim.cpp - the simulated controller's entry: reads the command line and
// the scenario, runs it (or takes steps typed at a prompt, or stands as a
// board until interrupted), prints the summary and writes the diagrams.
// Exit status 0 only when every expectation held; 1 when one was missed; 2
// for a bad command line, scenario or output path.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "demo.h"
#include "diagram.h"
#include "kvoruntime.h"
#include "options.h"
#include "session.h"

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

// The whole scenario file; a folder or a file that cannot be read is
// refused before anything runs.
bool ReadScenario(const std::string &path, std::string *text, std::string *error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        *error = path + ": a folder, not a scenario file";
        return false;
    }
    char buf[4096];
    ssize_t n = fd < 0 ? -1 : 0;
    while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
        text->append(buf, static_cast<size_t>(n));
    if (n < 0)
        *error = path + ": " + std::strerror(errno);
    if (fd >= 0)
        close(fd);
    return n == 0;
}

// An output file that the run could not write at its end is refused
// before it starts.
bool Writable(const char *option, const std::string &path, std::string *error)
{
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    size_t slash = path.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string why;
    if (exists && S_ISDIR(st.st_mode))
        why = "a folder";
    else if (access(exists ? path.c_str() : dir.c_str(), W_OK) != 0)
        why = std::strerror(errno);
    if (!why.empty())
        *error = std::string(option) + " " + path + ": " + why;
    return path.empty() || why.empty();
}

bool UseColor(const SimOptions &o)
{
    const char *term = std::getenv("TERM");
    return !o.noColor && isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr &&
           !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

void Interactive(Runner *runner, Timeline *timeline)
{
    Step start;
    start.kind = StepKind::Start;
    if (!runner->Execute(start))
        return;
    timeline->Line("kvosim: type steps, 'help' for a list, 'quit' to end");
    TypeSteps(runner, timeline);
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
    o.run.service = ToolPath("kvogdbt", KVOSIM_DEFAULT_SERVICE);
    std::string error, text = kDemoScenario, file = "demo";
    if (!ParseOptions(argc, argv, &o, &error)) {
        std::fprintf(stderr, "kvosim: %s (kvosim --help)\n", error.c_str());
        return kBadInput;
    }
    if (o.help || o.printDemo) {
        std::fputs(o.help ? SimUsage(o.run.service).c_str() : kDemoScenario, stdout);
        return 0;
    }
    if (!o.scenario.empty()) {
        file = o.scenario;
        text.clear();
    }
    std::vector<Step> steps;
    bool ok = (o.scenario.empty() || ReadScenario(file, &text, &error)) &&
              Writable("--svg", o.svg, &error) && Writable("--mermaid", o.mermaid, &error);
    if (!ok)
        error = "kvosim: " + error;
    else if (o.mode == SimMode::Scenario)
        ok = ParseScenario(text, file, &steps, &error);
    if (!ok) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return kBadInput;
    }
    Timeline timeline(stdout, UseColor(o));
    ComLogSetMask(LOG_UPTO(LOG_INFO));
    ComLogSetSink(RuntimeLine, &timeline);
    InstallSignals();
    if (o.mode == SimMode::Board)
        return Standing(o, &timeline);

    if (o.mode == SimMode::Interactive)
        o.run.quietWaitMs = 0; // a hold says so while the prompt waits for it
    Runner runner(o.run, &timeline);
    if (!runner.Setup(&error)) {
        timeline.Line("kvosim: " + error);
        runner.Finish();
        return kMissed;
    }
    if (o.mode == SimMode::Interactive) {
        Interactive(&runner, &timeline);
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
