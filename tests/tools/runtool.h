// runtool.h - running one of the tools as a child process and capturing
// what it prints.
#pragma once

#include <string>
#include <vector>

struct ToolRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // standard output and standard error, interleaved
};

// argv[0] is the program's path; stdinPath empty: /dev/null.
ToolRun RunTool(const std::vector<std::string> &argv, const std::string &stdinPath = "");
