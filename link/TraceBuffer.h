#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/TraceRecord.h"

// What the loop holds for one watcher: encoded records waiting to be written to the watcher's
// stream, at most a fixed number of bytes. A record that does not fit is dropped whole and
// counted, never waited for, so a watcher that does not read never slows a port; once room
// comes back, one RecordsLost record says how many went before the next one is kept. The
// storage is taken once, at the start.
class TraceBuffer {
public:
    static constexpr size_t DefaultCapacity = 1 << 20;

    // capacity: bytes kept, at least a header's worth (room for the RecordsLost record); a
    // record larger than the capacity is always lost.
    explicit TraceBuffer(size_t capacity = DefaultCapacity);

    // Keeps the record, or drops and counts it when it does not fit. False when dropped.
    bool Push(const TraceEvent& event);

    // The oldest bytes not yet written, as one contiguous run (empty when nothing waits).
    const uint8_t* Front() const { return storage_.data() + head_; }
    size_t FrontLength() const;
    // count bytes of the front were written: they make room (and a pending RecordsLost record
    // may now take it).
    void Consume(size_t count);

    size_t Waiting() const { return used_; }
    size_t Capacity() const { return storage_.size(); }
    // Records dropped since the last RecordsLost record was kept.
    uint64_t LostPending() const { return lost_; }
    // Every record ever dropped.
    uint64_t LostTotal() const { return lostTotal_; }

    // Writes what waits to the descriptor until it would block. Returns 0, or the errno of a
    // failed write (EPIPE: the watcher has gone). A stream socket (socketpair) is the stream to
    // hand out: it never blocks here and a reader that has gone is EPIPE; a pipe must be
    // non-blocking, and its closed reader raises SIGPIPE unless the process ignores it.
    int WriteTo(int fd);

private:
    bool Fits(size_t size) const { return storage_.size() - used_ >= size; }
    void Put(const TraceEvent& event, size_t size);
    void PutLost();

    std::vector<uint8_t> storage_;
    size_t head_ = 0;
    size_t used_ = 0;
    uint64_t lost_ = 0;
    int64_t firstLostUs_ = 0;
    uint64_t lostTotal_ = 0;
    std::vector<uint8_t> wrapped_;  // a record being put across the end of storage
};
