#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "net/Event.h"

// Thin thread wrapper. Start replaces an earlier thread without waiting for it (that thread
// is detached); Wait may give up after a limit and leaves the thread running; the destructor
// never waits. A thread may start its own successor (a socket worker that reopens on its way
// out); Wait then goes on to wait for the successor.
class WorkerThread {
public:
    using Routine = uint32_t (*)(void* parameter);

    WorkerThread() = default;
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool Start(Routine routine, void* parameter);
    // True when no thread is held or it ended within the limit; false when time ran out.
    bool Wait(uint32_t limitMs = Event::Infinite);
    // True while a started thread has not yet returned from its routine.
    bool IsRunning() const;
    bool IsCurrentThread() const;

private:
    struct Run;
    void Release();

    mutable std::mutex mutex_;
    Routine routine_ = nullptr;
    void* parameter_ = nullptr;
    std::thread thread_;
    std::shared_ptr<Event> finished_;
};
