#include "link/StatusBoard.h"

#include "vport/VirtualSerialPort.h"

const PortStatus* PublishedPorts::Find(int slot) const
{
    if (slot < 0 || slot >= static_cast<int>(statuses.size()))
        return nullptr;
    return statuses[static_cast<size_t>(slot)].get();
}

StatusBoard::StatusBoard()
    : lookedAt_(std::chrono::steady_clock::now()), sources_(static_cast<size_t>(PortRecords::Count))
{
    auto empty = std::make_shared<PublishedPorts>();
    empty->statuses.resize(static_cast<size_t>(PortRecords::Count));
    latest_ = std::move(empty);
}

std::shared_ptr<const PublishedPorts> StatusBoard::Latest() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return latest_;
}

bool StatusBoard::Publish(const PortRecords& records, const PortOf& portOf, Clock::time_point now,
                          const UnmatchedSummary& unmatched, const std::string& sharedTargetCode)
{
    // Published below, or nothing changed since latest_: latest_ is true as of now.
    struct Looked {
        std::atomic<std::chrono::steady_clock::time_point>& at;
        ~Looked() { at.store(std::chrono::steady_clock::now()); }
    } looked{lookedAt_};
    // Only the loop replaces latest_: reading it here needs no lock.
    const PublishedPorts& before = *latest_;
    std::shared_ptr<PublishedPorts> next;
    for (const VirtualPortEntry& e : records) {
        const VirtualSerialPort* port = portOf(e);
        PortRecords::StatusSource& published = sources_[static_cast<size_t>(e.index)];
        if (published.Matches(e, port && port->InUse()))
            continue;
        if (!next)
            next = std::make_shared<PublishedPorts>(before);
        next->statuses[static_cast<size_t>(e.index)] = e.portHeld ? std::make_shared<const PortStatus>(
                                                           PortRecords::StatusOf(e, port, now))
                                                                  : nullptr;
        published = PortRecords::SourceOf(e, port);
    }
    if (!next && before.unmatched.count == unmatched.count && before.sharedTargetCode == sharedTargetCode)
        return false;
    if (!next)
        next = std::make_shared<PublishedPorts>(before);
    next->unmatched = unmatched;
    next->sharedTargetCode = sharedTargetCode;
    std::lock_guard<std::mutex> hold(mutex_);
    latest_ = std::move(next);
    return true;
}
