// qnossleep.cpp - SleepTicks, the runtime's sleep in ticks: a plain usleep
// of the calling thread, with no timer slot, signal or pipe involved.
#include "kvoruntime.h"

#include <cmath>
#include <cstdint>
#include <unistd.h>

namespace {

constexpr uint32_t kTicksTopBit = 0x80000000u;
constexpr uint32_t kUsecPerTick = 10000u;
constexpr double kUsecMax = 4294967295.0;

// The count must fit usleep's 32 bits; a longer request sleeps the longest
// count instead of a wrapped, shorter one.
uint32_t UsecFromSeconds(double whole, double frac)
{
    double us = whole * 1000000.0 + frac * 1000000.0;
    return us >= kUsecMax ? UINT32_MAX : static_cast<uint32_t>(us);
}

} // namespace

// Top bit clear: ticks of 10 ms.  Top bit set: the low 31 bits in 1/256 s.
extern "C" void SleepTicks(uint32_t ulTicks)
{
    ComLog(LOG_DEBUG, "start of SleepTicks()\n");
    if ((ulTicks & kTicksTopBit) == 0) {
        uint64_t us = static_cast<uint64_t>(ulTicks) * kUsecPerTick;
        uint32_t uUsec = us > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(us);
        usleep(uUsec);
        ComLog(LOG_DEBUG, "usleep = %d\n", static_cast<int>(uUsec));
    } else {
        double whole = 0.0;
        double frac = std::modf(static_cast<double>(ulTicks & ~kTicksTopBit) / 256.0, &whole);
        ComLog(LOG_DEBUG, "usleep = %d\n", static_cast<int>(whole));
        ComLog(LOG_DEBUG, "usleep = %f\n", frac);
        usleep(UsecFromSeconds(whole, frac));
    }
    ComLog(LOG_DEBUG, "end of SleepTicks()\n");
}
