// deadline.h - a point in time on the monotonic clock that waits count
// down to; every wait of the board takes one rather than a time-out.
#pragma once

#include <chrono>

namespace kvoboard {

class Deadline {
public:
    explicit Deadline(int ms) : end_(Clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0)) {}
    // What is left of it, at most most ms (a slice of a longer wait).
    int MsLeft(int most = 1 << 30) const
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
        return left <= 0 ? 0 : left < most ? static_cast<int>(left) : most;
    }
    bool Passed() const { return Clock::now() >= end_; }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point end_;
};

} // namespace kvoboard
