#pragma once

#include <algorithm>
#include <chrono>

// How late the timed work of one thread is done, learnt from the work itself: a wait aimed at
// a time, and what the thread does on waking up to it. On a virtual machine a wait ends tens of
// microseconds after its time even with no timer slack, and a core that idled through the wait
// is slow for a while after it; a loop that aims its waits earlier by this estimate gets its
// work done about on time instead.
//
// The estimate follows the 75th percentile of the samples (up three steps for a later sample,
// down one for an earlier one), so work aimed by it is done on time or later three times in
// four and early the rest by less than the spread of the lateness. It starts at 0 and stays within
// Max. Built with other steps it follows another mark: one up and three down, the quarter mark,
// a lateness nearly every sample reaches.
class TimerLateness {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration Max = std::chrono::microseconds(500);

    explicit TimerLateness(int stepsUp = 3, int stepsDown = 1) : stepsUp_(stepsUp), stepsDown_(stepsDown) {}

    Clock::duration Estimate() const { return estimate_; }
    // How much before its time a wait of this length is aimed: the estimate, never more than
    // a twentieth of the wait, so nothing timed by it happens earlier than that.
    Clock::duration Lead(Clock::duration wait) const { return std::min(estimate_, wait / 20); }

    // The work of one wait aimed at a time was done this much after it (negative: before).
    void Sample(Clock::duration late)
    {
        if (late > estimate_)
            estimate_ = std::min(estimate_ + stepsUp_ * Step, Max);
        else
            estimate_ = std::max(estimate_ - stepsDown_ * Step, Clock::duration::zero());
    }

private:
    static constexpr Clock::duration Step = std::chrono::microseconds(1);
    const int stepsUp_;
    const int stepsDown_;
    Clock::duration estimate_{};
};
