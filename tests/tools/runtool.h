// runtool.h - a tool run as a child process, and what it printed.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct ToolRun {
    int status = -1; // exit status, or 128 + signal
    std::string out; // standard output
    std::string err; // standard error
    pid_t pid = -1;
    int fds[2] = {-1, -1}; // output and error while it runs
};

// argv[0] is the program's path; standard input from stdinPath or /dev/null.
ToolRun StartTool(const std::vector<std::string> &argv, const std::string &stdinPath = "");
// Reads standard error until it holds a whole line with text; false at its
// end or after ten seconds.
bool WaitForErr(ToolRun *run, const std::string &text);
// Reads both to their end and waits for the exit.
ToolRun &FinishTool(ToolRun *run);
inline ToolRun RunTool(const std::vector<std::string> &argv, const std::string &stdinPath = "")
{
    ToolRun run = StartTool(argv, stdinPath);
    return FinishTool(&run);
}
