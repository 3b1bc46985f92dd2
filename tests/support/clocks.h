// clocks.h - seconds on a clock: CLOCK_MONOTONIC for waits, CLOCK_PROCESS_CPUTIME_ID for the
// CPU time that tells a loop that pauses from one that spins.
#pragma once
#include <time.h>

inline double Seconds(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}
