// procstat.h - what /proc tells about a running process, summed over its
// threads: context switches, CPU time.
#pragma once

#include <cstdint>
#include <sys/types.h>

struct ProcCost {
    long voluntary = 0;   // context switches the process asked for (waits)
    long involuntary = 0; // preemptions
    int64_t cpuNs = 0;    // time on a CPU, from schedstat
    long ticks = 0;       // utime + stime, in clock ticks
    int threads = 0;
};

ProcCost ReadProcCost(pid_t pid);
