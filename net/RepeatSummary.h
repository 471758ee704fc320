#pragma once

#include <cstdint>
#include <optional>

// When to report an event that can repeat per datagram (a code no port has): the first
// occurrence at once, then at most one summary a period with how many came since the last
// report. Pure: the count so far and the time come in as arguments.
class RepeatSummary {
public:
    static constexpr int64_t DefaultPeriodMs = 60000;

    struct Report {
        uint64_t count = 0;  // occurrences since the last report
        bool first = false;  // the first report of all
    };

    explicit RepeatSummary(int64_t periodMs = DefaultPeriodMs) : periodMs_(periodMs) {}

    // total: occurrences counted so far (it only grows); nowMs: a steady clock's time.
    // A report when one is due now, else none.
    std::optional<Report> Due(uint64_t total, int64_t nowMs)
    {
        if (lastAt_ && nowMs - *lastAt_ < periodMs_)
            return std::nullopt;
        std::optional<Report> report = Rest(total);
        if (report)
            lastAt_ = nowMs;
        return report;
    }

    // At the end of the run: what came since the last report, however recent that was, so
    // that no occurrence goes unsaid.
    std::optional<Report> Rest(uint64_t total)
    {
        if (total <= reported_)
            return std::nullopt;
        Report report{total - reported_, !lastAt_};
        reported_ = total;
        return report;
    }

private:
    int64_t periodMs_;
    uint64_t reported_ = 0;
    std::optional<int64_t> lastAt_;
};
