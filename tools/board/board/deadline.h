// deadline.h - a point in time on the monotonic clock that waits count
// down to; every wait of the board takes one rather than a time-out.
#pragma once

#include <chrono>

namespace kvoboard {

class Deadline {
public:
    explicit Deadline(int ms) : end_(Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0)) {}
    // Already passed: a wait with it only looks once.
    static Deadline Now() { return Deadline(0); }

    int MsLeft() const
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }
    bool Passed() const { return Clock::now() >= end_; }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point end_;
};

} // namespace kvoboard
