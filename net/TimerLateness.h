#pragma once

#include <algorithm>
#include <chrono>

// How late the timed waits of one thread end, learnt from the waits themselves. On a virtual
// machine a wait ends tens of microseconds after its time even with no timer slack; a loop
// that aims its waits earlier by this estimate ends them about on time instead.
//
// The estimate follows the 75th percentile of the samples (up three steps for a later sample,
// down one for an earlier one), so a wait aimed by it ends on time or later three times in four
// and early the rest by less than the spread of the lateness. It starts at 0 and stays within
// Max.
class TimerLateness {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration Max = std::chrono::microseconds(500);

    Clock::duration Estimate() const { return estimate_; }

    // One wait aimed at a time ended this much after it (negative: before).
    void Sample(Clock::duration late)
    {
        if (late > estimate_)
            estimate_ = std::min(estimate_ + 3 * Step, Max);
        else
            estimate_ = std::max(estimate_ - Step, Clock::duration::zero());
    }

private:
    static constexpr Clock::duration Step = std::chrono::microseconds(1);
    Clock::duration estimate_{};
};
