#pragma once

#include <cstdint>

// A kernel-style event over an eventfd, so a worker can wait on it together with sockets in
// one poll(). Manual reset: stays signalled until Reset. Auto reset: a successful Wait
// consumes the signal. Set, Reset and Wait may be called from any thread.
//
// Making one can fail (no descriptor left): the event is then not Valid, Error says why, and
// its owner must not wait on it; Set and Reset do nothing.
class Event {
public:
    static constexpr uint32_t Infinite = 0xFFFFFFFFu;

    explicit Event(bool manualReset = true, bool initiallySet = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Valid() const { return fd_ >= 0; }
    // The errno of the failed eventfd call; 0 for a valid event.
    int Error() const { return error_; }

    void Set();
    void Reset();
    bool IsSet() const;
    // True when signalled within the limit (milliseconds, Infinite for none).
    bool Wait(uint32_t timeoutMs = Infinite);

    // Readable while the event is signalled; for poll() next to other descriptors.
    int Fd() const { return fd_; }

private:
    int fd_;
    int error_ = 0;
    bool manualReset_;
};
