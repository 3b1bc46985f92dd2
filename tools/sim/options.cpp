// options.cpp - reading kvosim's command line.  The configuration and
// answer options are scenario steps ("--hold off" is "set hold off",
// "--answer X" is "answer X"), read by the same parser.
#include "options.h"

#include <climits>
#include <cstring>
#include <unistd.h>

#include "numbers.h"

std::string SimUsage(const std::string &service)
{
    return "usage: kvosim [options] [SCENARIO]\n"
           "       kvosim --interactive [options]\n"
           "       kvosim --board [--start] [options]\n"
           "Runs the guard-button service kvogdbt inside a simulated controller (its own\n"
           "root with every FIFO, the key file, the CONFIG and OTHER segments, the peer\n"
           "modules and an emulated guard button) and prints the exchange as a timeline.\n"
           "Modes:\n"
           "  SCENARIO             run the steps of a scenario file; at the end the status\n"
           "                       module sends 900 (see scenarios/ for examples)\n"
           "  (nothing)            the built-in demo (--print-demo prints it)\n"
           "  --interactive        type the steps at a prompt ('help' lists them)\n"
           "  --board              a standing controller until Ctrl-C: prints the export\n"
           "                       KVO_ROOT=... line and how to start the service with\n"
           "                       kvocrkey and send frames with kvomsg from other\n"
           "                       terminals, and what the peers receive as it comes\n"
           "  --start              with --board: start the service here and take steps\n"
           "                       (press, release, send ...) at a prompt\n"
           "Options:\n"
           "  --service PATH       the kvogdbt program (default " + service + ")\n"
           "  --level N            the service's log level, 0 to 7 (default 6)\n"
           "  --hold on|off        hold timing (default on)\n"
           "  --auth C             authentication flag (default 0)\n"
           "  --mode parent|direct (default direct)\n"
           "  --inhibit N          hold-inhibit byte (default 0)\n"
           "  --answer RULE        how a peer answers from the start, as the answer step\n"
           "                       (repeatable): --answer \"454 with 410 state 1\"\n"
           "  --root DIR           the controller root (default a fresh folder); removed\n"
           "                       at the end unless --keep or it existed before\n"
           "  --keep               leave the root folder behind\n"
           "  --svg FILE           write the exchange as an SVG sequence diagram\n"
           "  --mermaid FILE       write it as Mermaid text\n"
           "  --no-color           plain output on a terminal too\n"
           "  --print-demo         print the demo scenario and exit\n"
           "Exit status: 0 every expectation held (--board: stopped by Ctrl-C or SIGTERM);\n"
           "1 one was missed or the controller could not be set up; 2 bad command line or\n"
           "scenario; 130 interrupted.\n";
}

namespace {

// A setting or an answer rule given as an option, read as its step.
bool OptionStep(const std::string &option, const std::string &step, SimOptions *o,
                std::string *error)
{
    Step s;
    bool empty = false;
    if (!ParseStep(step, option, 1, &s, &empty, error) || empty) {
        // "--mode:1: expected ..." names no line: the option is the place.
        size_t at = error->find(": ");
        bool placed = !empty && at != std::string::npos;
        *error = option + (placed ? error->substr(at) : ": expected a value");
        return false;
    }
    if (s.kind == StepKind::Answer)
        o->run.answers.push_back(s);
    else
        o->run.config.insert(o->run.config.end(), s.writes.begin(), s.writes.end());
    return true;
}

std::string Absolute(const std::string &path)
{
    char cwd[PATH_MAX];
    if (path.empty() || path[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

bool Mode(SimOptions *o, SimMode mode, const std::string &a, std::string *error)
{
    if (o->mode != SimMode::Scenario && o->mode != mode) {
        *error = a + ": one of --interactive and --board";
        return false;
    }
    o->mode = mode;
    return true;
}

} // namespace

bool ParseOptions(int argc, char **argv, SimOptions *o, std::string *error)
{
    // A fresh CONFIG segment is all zeros: hold timing would be off and the
    // flag no digit.  The defaults are what a controller ships with.
    if (!OptionStep("--hold", "set hold on", o, error) ||
        !OptionStep("--auth", "set auth 0", o, error))
        return false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string v;
        auto value = [&](std::string *out) {
            if (i + 1 >= argc) {
                *error = a + ": expected a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        long n = 0;
        if (a == "--interactive" || a == "--board") {
            if (!Mode(o, a == "--board" ? SimMode::Board : SimMode::Interactive, a, error))
                return false;
        } else if (a == "--start") o->start = true;
        else if (a == "--keep") o->run.keep = true;
        else if (a == "--no-color") o->noColor = true;
        else if (a == "--print-demo") o->printDemo = true;
        else if (a == "--help" || a == "-h") o->help = true;
        else if (a == "--service") { if (!value(&o->run.service)) return false; }
        else if (a == "--root") {
            if (!value(&v))
                return false;
            o->run.root = Absolute(v);
        }
        else if (a == "--svg") { if (!value(&o->svg)) return false; }
        else if (a == "--mermaid") { if (!value(&o->mermaid)) return false; }
        else if (a == "--level") {
            if (!value(&v))
                return false;
            if (!ParseLong(v, 0, 7, &n)) {
                *error = "--level: expected 0 to 7, not " + v;
                return false;
            }
            o->run.level = static_cast<int>(n);
        } else if (a == "--hold" || a == "--auth" || a == "--mode" || a == "--inhibit") {
            if (!value(&v) || !OptionStep(a, "set " + a.substr(2) + " " + v, o, error))
                return false;
        } else if (a == "--answer") {
            if (!value(&v) || !OptionStep(a, "answer " + v, o, error))
                return false;
        } else if (a.size() > 1 && a[0] == '-') {
            *error = a + ": no such option";
            return false;
        } else if (o->scenario.empty()) {
            o->scenario = a;
        } else {
            *error = a + ": one scenario at a time";
            return false;
        }
    }
    if (o->start && o->mode != SimMode::Board) {
        *error = "--start: only with --board";
        return false;
    }
    if (o->mode == SimMode::Board && (!o->svg.empty() || !o->mermaid.empty())) {
        *error = std::string(o->svg.empty() ? "--mermaid" : "--svg") + ": not with --board";
        return false;
    }
    if (o->mode != SimMode::Scenario && !o->scenario.empty()) {
        *error = o->scenario + ": no scenario file with --interactive or --board";
        return false;
    }
    return true;
}

std::string ToolPath(const char *name, const char *built)
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string beside = n > 0 ? std::string(exe, static_cast<size_t>(n)) : "";
    beside = beside.substr(0, beside.find_last_of('/') + 1) + name;
    return n > 0 && access(beside.c_str(), X_OK) == 0 ? beside : built;
}
