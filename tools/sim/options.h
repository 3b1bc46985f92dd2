// options.h - kvosim's command line.
#pragma once

#include <string>

#include "runner.h"

struct SimOptions {
    RunOptions run;
    std::string scenario;  // file; empty: the built-in demo
    bool interactive = false;
    bool noColor = false;
    bool printDemo = false;
    bool help = false;
    std::string svg;
    std::string mermaid;
};

extern const char kSimUsage[];
// false with *error for a bad command line.
bool ParseOptions(int argc, char **argv, SimOptions *o, std::string *error);
