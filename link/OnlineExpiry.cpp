#include "link/OnlineExpiry.h"

#include <algorithm>
#include <string>

#include "link/PortRecords.h"
#include "link/PortTrace.h"

namespace {
constexpr std::chrono::milliseconds MinExpiryGrace{2000};
}

OnlineExpiry::OnlineExpiry(EventLoop& loop, PortRecords& records, PortTrace& trace, std::function<void()> changed)
    : loop_(loop), records_(records), trace_(trace), changed_(std::move(changed))
{
}

OnlineExpiry::~OnlineExpiry() = default;

void OnlineExpiry::Start()
{
    timer_ = std::make_unique<EventLoop::Timer>(loop_, [this] { OnTimer(); });
    timer_->Soon();
}

void OnlineExpiry::Stop()
{
    timer_.reset();
}

void OnlineExpiry::Wake()
{
    if (timer_)
        timer_->Soon();
}

void OnlineExpiry::OnTimer()
{
    const Clock::time_point next = ExpireSilentPorts();
    if (next != NoneDue)
        timer_->At(next);
}

Clock::time_point OnlineExpiry::ExpireSilentPorts()
{
    using std::chrono::milliseconds;
    const Clock::time_point now = loop_.Now();
    Clock::time_point next = NoneDue;
    for (VirtualPortEntry& e : records_) {
        // A TCP port's mark follows its connection instead.
        if (!e.portHeld || e.config.UseTcp || !e.online)
            continue;
        // A DTU that reports at exactly its interval stays online: its report may come a
        // little late (network, its own clock), so it is given a grace of a tenth of the
        // interval, at least 2 s.
        const milliseconds interval = std::chrono::seconds(std::max(e.config.LoginInterval, 1));
        const milliseconds limit = interval + std::max(MinExpiryGrace, interval / 10);
        const Clock::time_point deadline = e.lastHeard + limit;
        if (now > deadline) {
            e.online = 0;
            changed_();
            if (trace_.Watching(e.index))
                trace_.Emit(e.index, e.config.PortNumber, TraceKind::Offline,
                            "no report for "
                                + std::to_string(
                                    std::chrono::duration_cast<std::chrono::seconds>(now - e.lastHeard).count())
                                + " s");
        } else {
            next = std::min(next, deadline + milliseconds(1));
        }
    }
    return next;
}
