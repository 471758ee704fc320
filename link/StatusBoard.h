#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "link/DatagramIntake.h"
#include "link/PortRecords.h"
#include "link/PortStatus.h"

// The ports as the loop published them last: each slot's status, what belongs to no port and
// the shared port's DTU.
struct PublishedPorts {
    std::vector<std::shared_ptr<const PortStatus>> statuses;  // by slot; null: no port in the slot
    UnmatchedSummary unmatched;
    std::string sharedTargetCode = "#NoSelected";

    // The slot's status, null when no port is in it (or no such slot).
    const PortStatus* Find(int slot) const;
};

// Where the loop publishes the ports for readers on other threads: the loop builds a new copy
// (only the statuses whose records changed are built anew) and a reader takes the latest under a
// short lock, never waiting for the loop.
class StatusBoard {
public:
    using PortOf = std::function<const VirtualSerialPort*(const VirtualPortEntry&)>;

    StatusBoard();
    StatusBoard(const StatusBoard&) = delete;
    StatusBoard& operator=(const StatusBoard&) = delete;

    // Any thread.
    std::shared_ptr<const PublishedPorts> Latest() const;
    // When the loop last looked at the records to publish them (the steady clock), whether
    // anything had changed or not: Latest was true then.
    std::chrono::steady_clock::time_point LookedAt() const { return lookedAt_.load(); }

    // Loop thread: publishes the records as they are at now (the ones in service), when any
    // differs from what was published before; false when nothing did.
    bool Publish(const PortRecords& records, const PortOf& portOf, Clock::time_point now,
                 const UnmatchedSummary& unmatched, const std::string& sharedTargetCode);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const PublishedPorts> latest_;  // under mutex_; replaced, never changed
    std::atomic<std::chrono::steady_clock::time_point> lookedAt_;
    // Loop thread: what each published status was made of.
    std::vector<PortRecords::StatusSource> sources_;
};
