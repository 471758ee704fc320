#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "link/TraceBuffer.h"
#include "link/TraceRecord.h"

// The watchers of the data path, as the loop holds them: each the write end of its stream,
// the slots it watches and its own TraceBuffer. The loop asks Watching() before it builds an
// event, so nothing is built while nobody watches; an event goes into the buffer of every
// watcher that wants it and leaves when the loop writes (never waiting for a watcher).
class TraceTap {
public:
    TraceTap() = default;
    TraceTap(const TraceTap&) = delete;
    TraceTap& operator=(const TraceTap&) = delete;
    ~TraceTap();

    // Takes fd (made non-blocking; closed when the watcher goes). watched: the slots watched,
    // none for every port; what belongs to no port goes to every watcher.
    void Add(int fd, const std::vector<uint16_t>& watched, size_t capacity = TraceBuffer::DefaultCapacity);
    // Closes the watcher's stream (it hung up, or the loop stops).
    void Remove(int fd);
    // Told each watcher's descriptor just before the tap closes it (Remove, a failed write),
    // so whoever watches the descriptor lets go of it first.
    void OnRemove(std::function<void(int fd)> told) { onRemove_ = std::move(told); }

    bool Any() const { return !watchers_.empty(); }
    bool Watching(uint16_t slot) const { return allPorts_ > 0 || (slot < perSlot_.size() && perSlot_[slot] > 0); }

    // Into the buffer of every watcher that wants it.
    void Emit(const TraceEvent& event);

    // Writes what waits to every watcher until its stream would block; a watcher whose
    // stream failed (EPIPE: it went away) is removed. Returns the number removed.
    int WriteAll();
    // The descriptors with bytes still waiting: the loop waits for them to take more.
    std::vector<int> Blocked() const;
    // Records dropped for the watcher on fd so far (0 for an unknown fd).
    uint64_t Lost(int fd) const;

private:
    struct Watcher {
        int fd;
        std::vector<uint16_t> watched;  // empty: every port
        std::unique_ptr<TraceBuffer> buffer;

        bool Wants(uint16_t slot) const;
    };
    void Count(const Watcher& watcher, int step);

    std::vector<Watcher> watchers_;
    std::function<void(int fd)> onRemove_;
    int allPorts_ = 0;
    std::array<uint16_t, TraceRecordLayout::MaxSlot + 1> perSlot_{};
};
