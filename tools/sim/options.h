// options.h - kvosim's command line.
#pragma once

#include <string>

#include "runner.h"

enum class SimMode {
    Scenario,    // a scenario file, or the built-in demo without one
    Interactive, // steps typed at a prompt
    Board,       // a standing controller until interrupted
};

struct SimOptions {
    RunOptions run;
    SimMode mode = SimMode::Scenario;
    std::string scenario;  // file; empty: the built-in demo
    bool start = false;    // Board: kvosim starts the service itself
    bool noColor = false;
    bool printDemo = false;
    bool help = false;
    std::string svg;
    std::string mermaid;
};

// The help text, with the programs kvosim runs by default.
std::string SimUsage(const std::string &service);
// false with *error ("--level: expected 0 to 7, not 9") for a bad command line.
bool ParseOptions(int argc, char **argv, SimOptions *o, std::string *error);
// Another program of this project: installed beside kvosim, or where the
// build made it.
std::string ToolPath(const char *name, const char *built);
