#include "link/PumpLoop.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "link/LinkPump.h"
#include "link/VirtualPortEntry.h"
#include "net/Log.h"
#include "vport/PtyMonitor.h"

namespace {

// An epoll token: the slot's number and what became ready. Slot 0 is the loop's own.
constexpr uint64_t StopToken = 0;
constexpr uint64_t MonitorToken = 1;
constexpr uint64_t PokeToken = ~uint64_t{0};  // beyond any slot's
constexpr uint64_t WakeKind = 0;
constexpr uint64_t InputKind = 1;

uint64_t Token(uint64_t id, uint64_t kind)
{
    return id << 1 | kind;
}

}  // namespace

struct PumpLoop::Slot {
    uint64_t id = 0;
    VirtualPortEntry* entry = nullptr;
    std::unique_ptr<LinkPump> pump;
    Event* wake = nullptr;
    // The port's input descriptor as watched. It is the port's own, which lives as long as
    // its port instance and so longer than the table and this loop; only in shared-port mode,
    // where every record watches the one port and epoll takes a descriptor once, the records
    // after the first watch a duplicate, which the slot owns.
    int input = -1;
    bool ownsInput = false;
    LinkPump::Sleep sleep = LinkPump::Sleep::UntilWoken;
    bool due = false;  // a pass is to run at dueAt, and timers_ holds it
    Clock::time_point dueAt;
    // How much before dueAt the pass may run: the loop's timer lateness, at most a twentieth
    // of the sleep.
    Clock::duration early{};

    Clock::time_point RunsAt() const { return dueAt - early; }
};

PumpLoop::PumpLoop()
{
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = StopToken;
    epoll_event pokeEv{};
    pokeEv.events = EPOLLIN;
    pokeEv.data.u64 = PokeToken;
    if (epollFd_ < 0 || epoll_ctl(epollFd_, EPOLL_CTL_ADD, stop_.Fd(), &ev) != 0
        || epoll_ctl(epollFd_, EPOLL_CTL_ADD, poke_.Fd(), &pokeEv) != 0) {
        Log::Error("the pumps cannot start: " + Log::SystemReason(errno));
        return;
    }
    // Without the monitor's work the loop still runs; input then wakes it from the monitor's
    // own thread.
    if (auto monitor = PtyMonitor::Acquire(); monitor && monitor->Drive()) {
        ev.data.u64 = MonitorToken;
        if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, monitor->Fd(), &ev) == 0)
            monitor_ = std::move(monitor);
        else
            monitor->Release();
    }
    thread_.Start(&PumpLoop::Run, this);
}

PumpLoop::~PumpLoop()
{
    stop_.Set();
    thread_.Wait();
    if (monitor_) {
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, monitor_->Fd(), nullptr);
        monitor_->Release();
    }
    for (auto& [id, slot] : slots_) {
        if (slot->ownsInput)
            close(slot->input);
    }
    slots_.clear();
    if (epollFd_ >= 0)
        close(epollFd_);
}

bool PumpLoop::Add(PortTable& table, VirtualPortEntry& entry, bool shared)
{
    std::lock_guard lock(mutex_);
    if (!thread_.IsRunning()) {
        Log::Error("the pump of slot " + std::to_string(entry.index + 1)
                     + " cannot start: the pumps' thread is not running");
        return false;
    }
    auto slot = std::make_unique<Slot>();
    slot->id = nextId_++;
    slot->entry = &entry;
    slot->pump = std::make_unique<LinkPump>(table, entry, shared);
    slot->wake = entry.pumpStopEvent.get();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = Token(slot->id, WakeKind);
    bool added = epoll_ctl(epollFd_, EPOLL_CTL_ADD, slot->wake->Fd(), &ev) == 0;
    if (const int input = slot->pump->InputFd(); added && input >= 0) {
        // Edge-triggered: the port signals when input arrives while none was waiting, which is
        // all a pump sleeping until input needs; input during a timed sleep is left to its pass.
        ev.events = EPOLLIN | EPOLLET;
        ev.data.u64 = Token(slot->id, InputKind);
        slot->input = input;
        added = epoll_ctl(epollFd_, EPOLL_CTL_ADD, input, &ev) == 0;
        if (!added && errno == EEXIST) {
            slot->input = fcntl(input, F_DUPFD_CLOEXEC, 0);
            slot->ownsInput = slot->input >= 0;
            added = slot->ownsInput && epoll_ctl(epollFd_, EPOLL_CTL_ADD, slot->input, &ev) == 0;
        }
    }
    if (!added) {
        const int reason = errno;
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, slot->wake->Fd(), nullptr);
        if (slot->ownsInput)
            close(slot->input);
        Log::Error("the pump of slot " + std::to_string(entry.index + 1)
                     + " cannot start: " + Log::SystemReason(reason));
        return false;
    }
    slot->pump->Start();
    Schedule(*slot, Clock::now(), {});
    slots_.emplace(slot->id, std::move(slot));
    // The loop may sleep without a timeout: the wake event makes it look at the new slot.
    entry.pumpStopEvent->Set();
    return true;
}

void PumpLoop::Remove(VirtualPortEntry& entry)
{
    std::lock_guard lock(mutex_);
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
        Slot& slot = *it->second;
        if (slot.entry != &entry)
            continue;
        Unschedule(slot);
        epoll_ctl(epollFd_, EPOLL_CTL_DEL, slot.wake->Fd(), nullptr);
        if (slot.input >= 0)
            epoll_ctl(epollFd_, EPOLL_CTL_DEL, slot.input, nullptr);
        if (slot.ownsInput)
            close(slot.input);
        slots_.erase(it);
        return;
    }
}

bool PumpLoop::Runs(const VirtualPortEntry& entry) const
{
    std::lock_guard lock(mutex_);
    return std::any_of(slots_.begin(), slots_.end(),
                       [&entry](const auto& item) { return item.second->entry == &entry; });
}

uint32_t PumpLoop::Run(void* self)
{
    static_cast<PumpLoop*>(self)->Loop();
    return 0;
}

void PumpLoop::Loop()
{
    // The gaps are the loop's only timers: let them end when they are due rather than up to
    // the default 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Named, so that a look at the process (top -H, a watchdog test) finds the data path.
    prctl(PR_SET_NAME, "mv-pumps", 0UL, 0UL, 0UL);
    epoll_event events[64];
    for (;;) {
        timespec timeout{};
        bool timed;
        {
            std::lock_guard lock(mutex_);
            timed = NextTimeout(timeout);
        }
        const bool waits = timed && (timeout.tv_sec > 0 || timeout.tv_nsec > 0);
        const auto aimedAt = Clock::now() + std::chrono::seconds(timeout.tv_sec)
                             + std::chrono::nanoseconds(timeout.tv_nsec);
        // To the microsecond: a millisecond timeout rounded up would add most of a
        // millisecond to every chunk.
        const int n = epoll_pwait2(epollFd_, events, 64, timed ? &timeout : nullptr, nullptr);
        if (n < 0 && errno != EINTR) {
            Log::Error("the pumps stopped: " + Log::SystemReason(errno));
            return;
        }
        heartbeat_.fetch_add(1, std::memory_order_relaxed);
        // The monitor's work first and outside the mutex: it touches no slot, and the input it
        // takes in is reported to the pumps by the next wait, at once.
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == MonitorToken)
                monitor_->Dispatch();
        }
        std::lock_guard lock(mutex_);
        for (int i = 0; i < n; ++i) {
            const uint64_t token = events[i].data.u64;
            if (token == StopToken)
                return;
            if (token == MonitorToken)
                continue;
            if (token == PokeToken) {
                poke_.Reset();
                continue;
            }
            auto it = slots_.find(token >> 1);
            if (it == slots_.end())
                continue;  // removed since the wait
            Slot& slot = *it->second;
            if ((token & 1) == InputKind) {
                if (slot.sleep == LinkPump::Sleep::UntilInput)
                    RunPass(slot);
            } else {
                OnWake(slot);
            }
        }
        // What a chunk waits beyond its time is the timer's lateness and the wake-up up to its
        // send, so the sample covers both: taken when the first due pass is done, not when the
        // wait ends.
        const Clock::time_point done = RunDuePasses();
        if (n == 0 && waits && done != Clock::time_point())
            lateness_.Sample(done - aimedAt);
    }
}

bool PumpLoop::NextTimeout(timespec& timeout)
{
    if (timers_.empty())
        return false;
    const auto left = std::max(Clock::duration::zero(), timers_.begin()->first - Clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
    timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    return true;
}

void PumpLoop::OnWake(Slot& slot)
{
    // Reset before looking at the flag: a stop or wake-up that comes after the look signals
    // again.
    slot.wake->Reset();
    if (slot.entry->pumpStopping.load() != 0) {
        // Its pass is over; StopPortLink removes it.
        Unschedule(slot);
        slot.sleep = LinkPump::Sleep::UntilWoken;
        return;
    }
    // A pass at once, except that a timed sleep keeps its period.
    if (slot.due && slot.sleep != LinkPump::Sleep::UntilInput && slot.sleep != LinkPump::Sleep::UntilWoken)
        return;
    Schedule(slot, Clock::now(), {});
}

PumpLoop::Clock::time_point PumpLoop::RunDuePasses()
{
    // Each due pass runs once here, even one whose next pass falls due at once: the loop
    // looks at its events between them.
    const auto now = Clock::now();
    ready_.clear();
    for (auto it = timers_.begin(); it != timers_.end() && it->first <= now; ++it)
        ready_.push_back(it->second);
    Clock::time_point firstDone;
    for (const uint64_t id : ready_) {
        if (auto it = slots_.find(id); it != slots_.end()) {
            RunPass(*it->second);
            if (firstDone == Clock::time_point())
                firstDone = Clock::now();
        }
    }
    return firstDone;
}

void PumpLoop::RunPass(Slot& slot)
{
    if (slot.entry->pumpStopping.load() != 0)
        return;
    Unschedule(slot);
    const LinkPump::Sleep sleep = slot.pump->Pass();
    slot.sleep = sleep;
    if (sleep == LinkPump::Sleep::Tick || sleep == LinkPump::Sleep::Retry)
        Schedule(slot, slot.pump->Due(sleep), lateness_.Lead(slot.pump->Period(sleep)));
}

void PumpLoop::Schedule(Slot& slot, Clock::time_point dueAt, Clock::duration early)
{
    Unschedule(slot);
    slot.due = true;
    slot.dueAt = dueAt;
    slot.early = early;
    timers_.emplace(slot.RunsAt(), slot.id);
}

void PumpLoop::Unschedule(Slot& slot)
{
    if (slot.due)
        timers_.erase({slot.RunsAt(), slot.id});
    slot.due = false;
}
