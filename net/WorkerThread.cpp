#include "net/WorkerThread.h"

#include <cerrno>

WorkerThread::~WorkerThread()
{
    std::lock_guard lock(mutex_);
    Release();
}

void WorkerThread::Release()
{
    // Releasing the handle never waits for or ends the thread.
    if (thread_.joinable())
        thread_.detach();
    finished_.reset();
}

bool WorkerThread::Start(Routine routine, void* parameter)
{
    std::lock_guard lock(mutex_);
    Release();
    routine_ = routine;
    parameter_ = parameter;
    auto finished = std::make_shared<Event>(true);
    if (!finished->Valid()) {
        errno = finished->Error();
        return false;  // no thread whose end could be waited for
    }
    finished_ = finished;
    try {
        thread_ = std::thread([routine, parameter, finished] {
            routine(parameter);
            finished->Set();
        });
    } catch (const std::system_error&) {
        finished_.reset();  // like a failed thread creation: no thread, still true
    }
    return true;
}

bool WorkerThread::Wait(uint32_t limitMs)
{
    for (;;) {
        std::shared_ptr<Event> finished;
        {
            std::lock_guard lock(mutex_);
            if (!finished_)
                return true;
            if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id())
                return false;  // a thread cannot wait for its own end
            finished = finished_;
        }
        if (!finished->Wait(limitMs))
            return false;
        std::lock_guard lock(mutex_);
        if (finished_ != finished)
            continue;  // the thread started a successor before it ended
        if (thread_.joinable())
            thread_.join();
        finished_.reset();
        return true;
    }
}

bool WorkerThread::IsRunning() const
{
    std::lock_guard lock(mutex_);
    return finished_ && !finished_->IsSet();
}

bool WorkerThread::IsCurrentThread() const
{
    std::lock_guard lock(mutex_);
    return thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
}
