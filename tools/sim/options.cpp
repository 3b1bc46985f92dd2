// options.cpp - reading kvosim's command line.  The configuration options
// are scenario steps ("--hold off" is "set hold off"), read by the same
// parser.
#include "options.h"

#include <cstring>

#include "numbers.h"

const char kSimUsage[] =
    "usage: kvosim [options] [SCENARIO]\n"
    "Runs the guard-button service kvogdbt inside a simulated controller and\n"
    "prints the exchange as a timeline.  Without SCENARIO: the built-in demo.\n"
    "  --interactive        type the steps at a prompt\n"
    "  --service PATH       the kvogdbt program (default: the one built with kvosim)\n"
    "  --level N            the service's log level, 0 to 7 (default 6)\n"
    "  --hold on|off        hold timing (default on)\n"
    "  --auth C             authentication flag (default 0)\n"
    "  --mode parent|direct (default direct)\n"
    "  --inhibit N          hold-inhibit byte (default 0)\n"
    "  --root DIR           use DIR as the controller root (default: a fresh one)\n"
    "  --keep               leave the root folder behind\n"
    "  --svg FILE           write the exchange as an SVG sequence diagram\n"
    "  --mermaid FILE       write it as Mermaid text\n"
    "  --no-color           plain output on a terminal too\n"
    "  --print-demo         print the demo scenario and exit\n";

namespace {

bool Setting(const char *what, const char *value, SimOptions *o, std::string *error)
{
    Step s;
    bool empty = false;
    std::string line = std::string("set ") + what + " " + value;
    if (!ParseStep(line, "--" + std::string(what), 1, &s, &empty, error))
        return false;
    o->run.config.insert(o->run.config.end(), s.writes.begin(), s.writes.end());
    return true;
}

} // namespace

bool ParseOptions(int argc, char **argv, SimOptions *o, std::string *error)
{
    // A fresh CONFIG segment is all zeros: hold timing would be off and the
    // flag no digit.  The defaults are what a controller ships with.
    if (!Setting("hold", "on", o, error) || !Setting("auth", "0", o, error))
        return false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        auto value = [&](std::string *out) {
            if (next == nullptr) {
                *error = a + " needs a value";
                return false;
            }
            *out = next;
            ++i;
            return true;
        };
        std::string v;
        long n = 0;
        if (a == "--interactive") o->interactive = true;
        else if (a == "--keep") o->run.keep = true;
        else if (a == "--no-color") o->noColor = true;
        else if (a == "--print-demo") o->printDemo = true;
        else if (a == "--help" || a == "-h") o->help = true;
        else if (a == "--service") { if (!value(&o->run.service)) return false; }
        else if (a == "--root") { if (!value(&o->run.root)) return false; }
        else if (a == "--svg") { if (!value(&o->svg)) return false; }
        else if (a == "--mermaid") { if (!value(&o->mermaid)) return false; }
        else if (a == "--level") {
            if (!value(&v) || !ParseLong(v, 0, 7, &n)) {
                *error = "--level: expected 0 to 7";
                return false;
            }
            o->run.level = static_cast<int>(n);
        } else if (a == "--hold" || a == "--auth" || a == "--mode" || a == "--inhibit") {
            if (!value(&v) || !Setting(a.c_str() + 2, v.c_str(), o, error))
                return false;
        } else if (a.size() > 1 && a[0] == '-') {
            *error = "unknown option " + a;
            return false;
        } else if (o->scenario.empty()) {
            o->scenario = a;
        } else {
            *error = "one scenario at a time";
            return false;
        }
    }
    return true;
}
