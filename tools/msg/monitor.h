// monitor.h - `kvomsg monitor`: the frames running processes write to and
// read from the controller's FIFOs, seen from outside without taking any.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct MonitorOptions {
    std::vector<pid_t> pids;          // --pid; with modules empty too: every module process
    std::vector<std::string> modules; // module names ("kvogdbt")
    long count = -1;                  // stop after this many frames; -1 never
    bool registers = false;           // read calls from the registers, not the kernel's syscall info
};

// Runs until Ctrl-C, SIGTERM or SIGHUP, the count, or the end of the last
// traced process; the exit status for kvomsg.
int Monitor(const MonitorOptions &options);
