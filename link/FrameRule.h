#pragma once

#include <algorithm>

#include "link/DtuPacket.h"

// The framing rule of one pump: how many of the bytes an application wrote into a virtual port
// leave now as one chunk. Bytes leave once their count stayed the same over one pass of the
// gap, or at once as a full chunk while more keeps arriving (per-port: at least a chunk
// waiting, shared: more than a chunk). With a gap of 0 whatever is waiting leaves when seen.
class FrameRule {
public:
    static constexpr int ChunkSize = DtuPacket::MaxPayload;

    explicit FrameRule(bool shared) : shared_(shared) {}

    // The count to read at a pass that finds waiting bytes, with the gap the record has now;
    // 0 while the chunk is still growing or nothing waits.
    int Take(int waiting, int gapMs)
    {
        const bool growing = waiting != last_ && gapMs > 0;
        last_ = waiting;
        if (growing)
            return (shared_ ? waiting > ChunkSize : waiting >= ChunkSize) ? ChunkSize : 0;
        return std::min(waiting, ChunkSize);
    }
    // What is left after a read: the count the next pass compares with.
    void Left(int waiting) { last_ = waiting; }
    bool AnyWaiting() const { return last_ != 0; }

private:
    const bool shared_;
    int last_ = 0;
};
