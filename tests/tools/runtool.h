// runtool.h - running one of the tools as a child process and capturing
// what it prints, to the end or while it runs.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct ToolRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // standard output, with standard error unless split
    std::string err;  // standard error when split
};

// argv[0] is the program's path; stdinPath empty: /dev/null.
ToolRun RunTool(const std::vector<std::string> &argv, const std::string &stdinPath = "",
                bool splitErr = false);

// A tool left running, its standard output and error on pipes of their own.
struct ToolProc {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string errSeen; // standard error read so far
};

ToolProc StartTool(const std::vector<std::string> &argv);
// Reads standard error until a line holds text; false at its end or after
// ten seconds.
bool WaitForErrLine(ToolProc *tool, const std::string &text);
// Reads to the end and waits for the exit.
ToolRun FinishTool(ToolProc *tool);
