#include "link/PumpLoop.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/epoll.h>
#include <unistd.h>

#include "link/LinkPump.h"
#include "link/VirtualPortEntry.h"
#include "net/Log.h"
#include "vport/PtyMonitor.h"

struct PumpLoop::Slot {
    Slot(EventLoop& loop, PumpLoop& owner)
        : inputWatch(loop, [this, &owner](uint32_t) {
              if (sleep == LinkPump::Sleep::UntilInput)
                  owner.RunPass(*this);
          }),
          timer(loop, [this, &owner] { owner.RunPass(*this); })
    {
    }
    ~Slot()
    {
        inputWatch.Remove();
        if (ownsInput)
            close(input);
    }

    VirtualPortEntry* entry = nullptr;
    std::unique_ptr<LinkPump> pump;
    // The port's input descriptor as watched. It is the port's own, which lives as long as
    // its port instance and so longer than the table and this loop; only in shared-port mode,
    // where every record watches the one port and epoll takes a descriptor once, the records
    // after the first watch a duplicate, which the slot owns.
    EventLoop::Watch inputWatch;
    int input = -1;
    bool ownsInput = false;
    EventLoop::Timer timer;  // the next pass while one is due
    LinkPump::Sleep sleep = LinkPump::Sleep::UntilWoken;
};

PumpLoop::PumpLoop(Clock& clock, Turning turning) : loop_(clock)
{
    if (loop_.Error() != 0) {
        Log::Error("the pumps cannot start: " + Log::SystemReason(loop_.Error()));
        return;
    }
    // Without the monitor's work the loop still runs; input then wakes it from the monitor's
    // own thread.
    if (auto monitor = PtyMonitor::Acquire(); monitor && monitor->Drive()) {
        auto watch = std::make_unique<EventLoop::Watch>(loop_, [this](uint32_t) { monitor_->Dispatch(); });
        if (watch->Add(monitor->Fd(), EPOLLIN) == 0) {
            monitor_ = std::move(monitor);
            monitorWatch_ = std::move(watch);
        } else {
            monitor->Release();
        }
    }
    if (turning == Turning::OwnThread && !loop_.Start("mv-pumps"))
        Log::Error("the pumps cannot start: " + Log::SystemReason(errno));
}

PumpLoop::~PumpLoop()
{
    loop_.Call([this] { slots_.clear(); });
    loop_.Stop();
    monitorWatch_.reset();
    if (monitor_)
        monitor_->Release();
}

bool PumpLoop::Add(PortTable& table, VirtualPortEntry& entry, bool shared)
{
    if (loop_.Error() != 0) {
        Log::Error("the pump of slot " + std::to_string(entry.index + 1)
                   + " cannot start: the pumps' thread is not running");
        return false;
    }
    auto slot = std::make_unique<Slot>(loop_, *this);
    slot->entry = &entry;
    slot->pump = std::make_unique<LinkPump>(table, entry, shared);
    int error = 0;
    if (const int input = slot->pump->InputFd(); input >= 0) {
        // Edge-triggered: the port signals when input arrives while none was waiting, which is
        // all a pump sleeping until input needs; input during a timed sleep is left to its pass.
        slot->input = input;
        error = slot->inputWatch.Add(input, EPOLLIN | EPOLLET);
        if (error == EEXIST) {
            slot->input = fcntl(input, F_DUPFD_CLOEXEC, 0);
            slot->ownsInput = slot->input >= 0;
            error = slot->ownsInput ? slot->inputWatch.Add(slot->input, EPOLLIN | EPOLLET) : errno;
        }
    }
    if (error != 0) {
        Log::Error("the pump of slot " + std::to_string(entry.index + 1)
                   + " cannot start: " + Log::SystemReason(error));
        return false;
    }
    slot->pump->Start();
    slot->timer.Now();
    slots_[&entry] = std::move(slot);
    return true;
}

void PumpLoop::Remove(VirtualPortEntry& entry)
{
    slots_.erase(&entry);
}

bool PumpLoop::Runs(const VirtualPortEntry& entry) const
{
    return slots_.count(&entry) != 0;
}

void PumpLoop::Wake(const VirtualPortEntry& entry)
{
    const auto it = slots_.find(&entry);
    if (it == slots_.end())
        return;
    Slot& slot = *it->second;
    // A pass at once, except that a timed sleep keeps its period.
    if (slot.timer.Pending() && slot.sleep == LinkPump::Sleep::Tick)
        return;
    slot.timer.Now();
}

void PumpLoop::RunPass(Slot& slot)
{
    slot.timer.Cancel();
    const LinkPump::Sleep sleep = slot.pump->Pass();
    slot.sleep = sleep;
    if (sleep == LinkPump::Sleep::Tick)
        slot.timer.At(slot.pump->Due(), slot.pump->Period());
}
