// Date stamps: the packed words, their digit strings, and the local time
// zone they follow.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>

#include <sys/time.h>
#include <iterator>
#include <string>

#include "kvodate.h"
#include "kvomessaging.h"
#include "kvoruntime.h"

namespace {

struct Moment {
    int year, mon, mday, hour, min, sec;
    long usec;
    uint32_t date, time;
    const char *dateStr, *timeStr;
};

struct tm Tm(const Moment &m)
{
    struct tm t = {};
    t.tm_year = m.year - 1900;
    t.tm_mon = m.mon - 1;
    t.tm_mday = m.mday;
    t.tm_hour = m.hour;
    t.tm_min = m.min;
    t.tm_sec = m.sec;
    return t;
}

TEST(DateStamp, WordsAndStringsOfAMoment)
{
    const Moment cases[] = {
        {2026, 12, 4, 9, 5, 7, 123456, 0x07ea0c04u, 0x0905070cu, "20261204", "090507"},
        {1999, 1, 31, 23, 59, 60, 999999, 0x07cf011fu, 0x173b3c63u, "19990131", "235960"},
        {2000, 2, 29, 0, 0, 0, 9999, 0x07d0021du, 0x00000000u, "20000229", "000000"},
    };
    for (const auto &m : cases) {
        SCOPED_TRACE(m.dateStr);
        uint32_t date = 0, time = 0;
        kvo::DateWords(Tm(m), m.usec, &date, &time);
        EXPECT_EQ(date, m.date);
        EXPECT_EQ(time, m.time);
        char dx[10], tx[8];
        std::fill(std::begin(dx), std::end(dx), '#');
        std::fill(std::begin(tx), std::end(tx), '#');
        kvo::DateWordsStr(date, time, dx, tx);
        EXPECT_EQ(std::string(dx, 8), m.dateStr);
        EXPECT_EQ(std::string(tx, 6), m.timeStr);
        EXPECT_EQ(dx[8], '#'); // no terminator
        EXPECT_EQ(tx[6], '#');
    }
}

// Fields wider than their digits are cut by the modulo steps, never spill.
TEST(DateStamp, StringsKeepTheirWidth)
{
    char d[8], t[6];
    kvo::DateWordsStr(0xffffffffu, 0xffffffffu, d, t);
    EXPECT_EQ(std::string(d, 8), "55355555"); // 65535 % 10000, 255 % 100, 255 % 100
    EXPECT_EQ(std::string(t, 6), "555555");
}

// With a fixed zone the clock's words are the local time there.
class DateStampZone : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *old = std::getenv("TZ");
        hadTz_ = old != nullptr;
        if (hadTz_)
            savedTz_ = old;
        setenv("TZ", "KVO-9", 1); // nine hours east of UTC, no daylight time
        tzset();
    }
    void TearDown() override
    {
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static time_t RealSeconds()
    {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        return tv.tv_sec;
    }
    // Calls f between two readings of the clock in the same second, and the
    // UTC+9 broken-down time of that second.
    template <typename F> struct tm Around(F f)
    {
        for (;;) {
            // The clock GetCurTime reads, not time(): that one may lag by a
            // tick and straddle a second boundary the other has crossed.
            time_t before = RealSeconds();
            f();
            time_t after = RealSeconds();
            if (before == after) {
                time_t shifted = before + 9 * 3600;
                struct tm t;
                gmtime_r(&shifted, &t);
                return t;
            }
        }
    }

private:
    bool hadTz_ = false;
    std::string savedTz_;
};

TEST_F(DateStampZone, CurTimeFollowsTheZone)
{
    uint32_t date = 0, time = 0;
    uint16_t week = 99;
    struct tm t = Around([&] { GetCurTime(&date, &time, &week); });
    EXPECT_EQ(date >> 16, static_cast<uint32_t>(t.tm_year + 1900));
    EXPECT_EQ(date >> 8 & 0xff, static_cast<uint32_t>(t.tm_mon + 1));
    EXPECT_EQ(date & 0xff, static_cast<uint32_t>(t.tm_mday));
    EXPECT_EQ(time >> 24, static_cast<uint32_t>(t.tm_hour));
    EXPECT_EQ(time >> 16 & 0xff, static_cast<uint32_t>(t.tm_min));
    EXPECT_EQ(time >> 8 & 0xff, static_cast<uint32_t>(t.tm_sec));
    EXPECT_LT(time & 0xff, 100u);
    EXPECT_EQ(week, t.tm_wday);
}

TEST_F(DateStampZone, NullOutputsAreSkipped)
{
    uint32_t time = 0;
    uint16_t week = 99;
    struct tm t = Around([&] { GetCurTime(nullptr, &time, &week); });
    EXPECT_EQ(time >> 24, static_cast<uint32_t>(t.tm_hour));
    EXPECT_EQ(week, t.tm_wday);
    Around([] { GetCurTime(nullptr, nullptr, nullptr); });
}

TEST_F(DateStampZone, DateTimeStrFollowsTheZone)
{
    char d[9], tm[7];
    d[8] = '#';
    tm[6] = '#';
    struct tm t = Around([&] { GetDateTimeStr(d, tm); });
    char want[32];
    std::snprintf(want, sizeof want, "%04d%02d%02d%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec);
    EXPECT_EQ(std::string(d, 8) + std::string(tm, 6), want);
    EXPECT_EQ(d[8], '#');
    EXPECT_EQ(tm[6], '#');
}

} // namespace
