#pragma once

#include <cstdint>

// A kernel-style event over an eventfd, so a worker can wait on it together with sockets in
// one poll(). Manual reset: stays signalled until Reset. Auto reset: a successful Wait
// consumes the signal. Set, Reset and Wait may be called from any thread.
class Event {
public:
    static constexpr uint32_t Infinite = 0xFFFFFFFFu;

    explicit Event(bool manualReset = true, bool initiallySet = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // True when signalled within the limit (milliseconds, Infinite for none).
    bool Wait(uint32_t timeoutMs = Infinite);

    // Readable while the event is signalled; for poll() next to other descriptors.
    int Fd() const { return fd_; }

private:
    int fd_;
    bool manualReset_;
};
