// fuzzcommon.h - what the fuzz harnesses share: a log that formats every
// line (so that the format paths run under the sanitizers) but writes none,
// and the failure report that makes libFuzzer keep the input.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "kvolog.h"

inline void FuzzSinkNothing(int, const char *, void *) {}

// Every priority passes the mask and is formatted into the sink.
inline void FuzzQuietLog()
{
    ComLogSetMask(LOG_UPTO(LOG_DEBUG));
    ComLogSetSink(FuzzSinkNothing, nullptr);
}

__attribute__((format(printf, 1, 2), noreturn)) inline void FuzzFail(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::fputs("INVARIANT VIOLATED: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputs("\n", stderr);
    va_end(ap);
    std::abort();
}
