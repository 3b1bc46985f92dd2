// qndate.cpp - date stamps: the local date and time as two packed words and
// the weekday, and as fixed-width digit strings for records.
#include <cstdio>
#include <cstring>
#include <sys/time.h>

#include "kvodate.h"
#include "kvomessaging.h"

namespace kvo {

void DateWords(const struct tm &tm, long usec, uint32_t *pDate, uint32_t *pTime)
{
    const auto u = [](long v) { return static_cast<uint32_t>(v); };
    if (pDate != nullptr)
        *pDate = ((u(tm.tm_year + 1900) << 16) & 0xffff0000u) | ((u(tm.tm_mon + 1) << 8) & 0xff00u) |
                 (u(tm.tm_mday) & 0xffu);
    if (pTime != nullptr)
        *pTime = ((u(tm.tm_hour) << 24) & 0xff000000u) | ((u(tm.tm_min) << 16) & 0xff0000u) |
                 ((u(tm.tm_sec) << 8) & 0xff00u) | (u(usec / 10000) & 0xffu);
}

void DateWordsStr(uint32_t date, uint32_t time, char *pDate, char *pTime)
{
    // The modulo steps keep every field to its width, so the strings are
    // always exactly 8 and 6 digits.
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04u%02u%02u", (date >> 16) % 10000u, ((date >> 8) & 0xffu) % 100u,
                  (date & 0xffu) % 100u);
    std::memcpy(pDate, buf, 8);
    std::snprintf(buf, sizeof buf, "%02u%02u%02u", (time >> 24) % 100u, ((time >> 16) & 0xffu) % 100u,
                  ((time >> 8) & 0xffu) % 100u);
    std::memcpy(pTime, buf, 6);
}

} // namespace kvo

extern "C" void GetCurTime(uint32_t *pDate, uint32_t *pTime, uint16_t *pWeek)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t sec = tv.tv_sec;
    struct tm tm = {};
    tzset(); // localtime_r need not look at TZ again by itself
    localtime_r(&sec, &tm);
    kvo::DateWords(tm, static_cast<long>(tv.tv_usec), pDate, pTime);
    if (pWeek != nullptr)
        *pWeek = static_cast<uint16_t>(tm.tm_wday);
}

extern "C" void GetDateTimeStr(char *pDate, char *pTime)
{
    uint32_t date = 0;
    uint32_t time = 0;
    uint16_t week = 0;
    GetCurTime(&date, &time, &week);
    kvo::DateWordsStr(date, time, pDate, pTime);
}
