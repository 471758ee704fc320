#pragma once

#include <atomic>
#include <chrono>

// Where the data path reads the time. The program runs on the steady clock; tests run the same
// code on a ManualClock and move time on by hand, so a rule about seconds is checked in
// microseconds. Decisions take the time as an argument; only the loop and its handles ask a
// Clock.
class Clock {
public:
    using duration = std::chrono::steady_clock::duration;
    using time_point = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;
    virtual time_point Now() const = 0;
    // How long a loop waiting for something due this far ahead sleeps in real time: as long
    // on the steady clock; on a manual one, whose time moves only by hand, not at all for
    // what is due and for ever for what is not.
    virtual duration RealWait(duration untilDue) const = 0;

    // The program's clock.
    static Clock& Steady();
};

class SteadyClock final : public Clock {
public:
    time_point Now() const override { return std::chrono::steady_clock::now(); }
    duration RealWait(duration untilDue) const override { return untilDue; }
};

inline Clock& Clock::Steady()
{
    static SteadyClock clock;
    return clock;
}

// Time that moves only when a test says so; starts at an arbitrary point well away from 0.
// Any thread may read it; the test moves it.
class ManualClock final : public Clock {
public:
    time_point Now() const override { return time_point(duration(now_.load())); }
    duration RealWait(duration untilDue) const override
    {
        return untilDue > duration::zero() ? duration::max() : duration::zero();
    }

    void Advance(duration step) { now_.fetch_add(step.count()); }

private:
    std::atomic<duration::rep> now_{std::chrono::duration_cast<duration>(std::chrono::hours(1000)).count()};
};
