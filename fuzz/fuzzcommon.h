// fuzzcommon.h - shared by the harnesses: a log that formats every line (so the
// format paths run under the sanitizers) but writes none, and the failure report.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "kvolog.h"

inline void FuzzQuietLog()
{
    ComLogSetMask(LOG_UPTO(LOG_DEBUG));
    ComLogSetSink([](int, const char *, void *) {}, nullptr);
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

inline int Atoi3(const unsigned char *p)
{
    char s[4] = {static_cast<char>(p[0]), static_cast<char>(p[1]), static_cast<char>(p[2]), 0};
    return std::atoi(s);
}
