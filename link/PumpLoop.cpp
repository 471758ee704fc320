#include "link/PumpLoop.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "link/LinkPump.h"
#include "link/VirtualPortEntry.h"
#include "net/Log.h"
#include "vport/PtyMonitor.h"
#include "vport/VirtualSerialPort.h"

struct PumpLoop::Slot {
    Slot(EventLoop& loop, PumpLoop& owner) : timer(loop, [this, &owner] { owner.RunPass(*this); }) {}

    VirtualPortEntry* entry = nullptr;
    std::unique_ptr<LinkPump> pump;
    EventLoop::Timer timer;  // the next pass while one is due
    LinkPump::Sleep sleep = LinkPump::Sleep::UntilWoken;
};

PumpLoop::PumpLoop(Clock& clock, Turning turning) : loop_(clock), monitor_(std::make_unique<PtyMonitor>(loop_))
{
    if (loop_.Error() != 0) {
        Log::Error("the pumps cannot start: " + Log::SystemReason(loop_.Error()));
        return;
    }
    if (monitor_->Error() != 0)
        Log::Error("the virtual ports cannot be watched: " + Log::SystemReason(monitor_->Error()));
    if (turning == Turning::OwnThread && !loop_.Start("mv-pumps"))
        Log::Error("the pumps cannot start: " + Log::SystemReason(errno));
}

PumpLoop::~PumpLoop()
{
    loop_.Call([this] {
        for (auto& [port, slots] : readers_)
            port->WhenInput(nullptr);
        readers_.clear();
        slots_.clear();
    });
    loop_.Stop();
    monitor_.reset();
}

bool PumpLoop::Add(LinkPump::Host& host, VirtualPortEntry& entry, VirtualSerialPort* port, bool shared)
{
    if (loop_.Error() != 0) {
        Log::Error("the pump of slot " + std::to_string(entry.index + 1)
                   + " cannot start: the pumps' thread is not running");
        return false;
    }
    auto slot = std::make_unique<Slot>(loop_, *this);
    slot->entry = &entry;
    slot->pump = std::make_unique<LinkPump>(host, entry, port, shared);
    // The port says when input comes while none was waiting, which is all a pump sleeping
    // until input needs; input during a timed sleep is left to its pass.
    if (port) {
        auto& readers = readers_[port];
        if (readers.empty())
            port->WhenInput([this, &readers] { OnInput(readers); });
        readers.push_back(slot.get());
    }
    slot->timer.Soon();
    slots_[&entry] = std::move(slot);
    return true;
}

void PumpLoop::Remove(VirtualPortEntry& entry)
{
    const auto it = slots_.find(&entry);
    if (it == slots_.end())
        return;
    if (VirtualSerialPort* port = it->second->pump->Port()) {
        auto& readers = readers_[port];
        readers.erase(std::remove(readers.begin(), readers.end(), it->second.get()), readers.end());
        if (readers.empty()) {
            port->WhenInput(nullptr);
            readers_.erase(port);
        }
    }
    slots_.erase(it);
}

void PumpLoop::OnInput(const std::vector<Slot*>& readers)
{
    // A pass adds and ends no pump.
    for (Slot* slot : readers)
        if (slot->sleep == LinkPump::Sleep::UntilInput)
            RunPass(*slot);
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
    slot.timer.Soon();
}

void PumpLoop::RunPass(Slot& slot)
{
    slot.timer.Cancel();
    const LinkPump::Sleep sleep = slot.pump->Pass();
    slot.sleep = sleep;
    if (sleep == LinkPump::Sleep::Tick)
        slot.timer.At(slot.pump->Due(), slot.pump->Period());
}
