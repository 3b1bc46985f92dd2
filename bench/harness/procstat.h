// procstat.h - what /proc tells about a running process, summed over its
// threads: context switches, CPU time, memory.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

struct ProcCost {
    long voluntary = 0;   // context switches the process asked for (waits)
    long involuntary = 0; // preemptions
    int64_t cpuNs = 0;    // time on a CPU, from schedstat
    long ticks = 0;       // utime + stime, in clock ticks
    int threads = 0;
};

ProcCost ReadProcCost(pid_t pid);
// A "Name:   123 kB" field of /proc/PID/status or /proc/PID/smaps_rollup; -1 if absent.
long ProcStatusKb(pid_t pid, const std::string &field);
long SmapsRollupKb(pid_t pid, const std::string &field);
