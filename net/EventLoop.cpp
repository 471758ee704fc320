#include "net/EventLoop.h"

#include <cerrno>
#include <ctime>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "net/Log.h"

namespace {

// epoll_pwait2 waits to the nanosecond; a kernel without it (before 5.11) gets epoll_wait's
// milliseconds, rounded up so that nothing runs early.
int WaitForEvents(int epollFd, epoll_event* events, int max, Clock::duration wait)
{
    static std::atomic<bool> precise{true};
    const timespec* timeout = nullptr;
    timespec limit{};
    if (wait != Clock::duration::max()) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        limit.tv_sec = static_cast<time_t>(ns / 1000000000);
        limit.tv_nsec = static_cast<long>(ns % 1000000000);
        timeout = &limit;
    }
    if (precise.load(std::memory_order_relaxed)) {
        const int n = epoll_pwait2(epollFd, events, max, timeout, nullptr);
        if (n >= 0 || errno != ENOSYS)
            return n;
        precise.store(false, std::memory_order_relaxed);
    }
    int ms = -1;
    if (timeout != nullptr) {
        const auto rounded = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
        ms = rounded > 1000000 ? 1000000 : static_cast<int>(rounded);
    }
    return epoll_wait(epollFd, events, max, ms);
}

}  // namespace

EventLoop::EventLoop(Clock& clock) : clock_(clock)
{
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) {
        error_ = errno;
        return;
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;  // the wake eventfd; a watch's event leads to its Watch
    if (wakeFd_ < 0 || epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) != 0)
        error_ = errno;
}

EventLoop::~EventLoop()
{
    Stop();
    if (wakeFd_ >= 0)
        close(wakeFd_);
    if (epollFd_ >= 0)
        close(epollFd_);
}

bool EventLoop::Start(const char* threadName)
{
    if (error_ != 0) {
        errno = error_;
        return false;
    }
    {
        std::lock_guard lock(postMutex_);
        accepting_ = true;
        stopAsked_ = false;
        ended_ = false;
    }
    std::promise<void> started;
    auto running = started.get_future();
    thread_ = std::thread([this, threadName, &started] {
        loopThread_.store(std::this_thread::get_id());
        // Gaps are the loop's main timers: let them end when they are due rather than up to
        // the default 50 us later.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        // Named, so that a look at the process (top -H, a watchdog test) finds the data path.
        prctl(PR_SET_NAME, threadName, 0UL, 0UL, 0UL);
        started.set_value();
        Loop();
    });
    running.wait();
    return true;
}

void EventLoop::Stop()
{
    {
        std::lock_guard lock(postMutex_);
        accepting_ = false;
        stopAsked_ = true;
    }
    if (InLoopThread())
        return;
    Wake();
    if (thread_.joinable())
        thread_.join();
    loopThread_.store(std::thread::id());
    std::lock_guard lock(postMutex_);
    ended_ = true;
    endedChanged_.notify_all();
}

void EventLoop::WaitEnded()
{
    std::unique_lock lock(postMutex_);
    endedChanged_.wait(lock, [this] { return ended_; });
}

void EventLoop::Loop()
{
    for (;;) {
        // Stop wakes the loop: a turn nobody woke has no stop to look at.
        if (!Turn(Clock::duration::max()))
            continue;
        std::lock_guard lock(postMutex_);
        if (stopAsked_ && posts_.empty())
            return;
    }
}

void EventLoop::RunOnce(std::chrono::milliseconds limit)
{
    Turn(limit);
}

bool EventLoop::RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    // The limit is real time whatever the loop's clock: a manual one may stand still.
    const Clock& real = Clock::Steady();
    const auto deadline = real.Now() + limit;
    while (!done()) {
        const auto left = deadline - real.Now();
        if (left <= Clock::duration::zero())
            return false;
        Turn(std::min<Clock::duration>(left, std::chrono::milliseconds(10)));
    }
    return true;
}

bool EventLoop::Post(std::function<void()> fn)
{
    {
        std::lock_guard lock(postMutex_);
        if (!accepting_)
            return false;
        posts_.push_back(std::move(fn));
    }
    Wake();
    return true;
}

void EventLoop::Wake()
{
    // One write wakes the loop for everything posted until it looks: the rest save the call.
    if (wakeSet_.exchange(true))
        return;
    const uint64_t one = 1;
    ssize_t written;
    do {
        written = write(wakeFd_, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
}

void EventLoop::DrainWake()
{
    // Cleared after the read: a wake-up that found it still set wrote nothing, but posted
    // before it looked, and the posts are run after this. Cleared before the read, the read
    // could take the write of a wake-up that set it again, and no later one would write.
    uint64_t count;
    while (read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
    wakeSet_.store(false);
}

bool EventLoop::Turn(Clock::duration limit)
{
    const auto waitFrom = clock_.Now();
    Clock::duration wait = limit;
    bool timed = false;  // the wait ends when the first timer is due
    Clock::time_point aimedAt;
    if (const Timer* first = Earliest()) {
        aimedAt = first->runsAt_;
        const auto untilDue = aimedAt - waitFrom;
        const auto real = clock_.RealWait(std::max(Clock::duration::zero(), untilDue));
        if (real <= wait) {
            wait = real;
            // One already overdue was held up by the loop's work, not by its timer.
            timed = real != Clock::duration::max() && untilDue > Clock::duration::zero();
        }
    }
    if (InLoopThread())  // not the thread of an owner turning the loop
        FitPolicy(aimedTimers_.Top() && aimedTimers_.Top()->runsAt_ - waitFrom <= BatchHorizon);
    const int n = WaitForEvents(epollFd_, events_, MaxEvents, wait);
    if (n < 0 && errno != EINTR) {
        Log::Error("the data path's loop cannot wait: " + Log::SystemReason(errno));
        return true;
    }
    heartbeat_.fetch_add(1, std::memory_order_relaxed);
    bool woken = false;
    eventCount_ = std::max(n, 0);
    for (const bool first : {true, false}) {
        for (eventAt_ = 0; eventAt_ < eventCount_; ++eventAt_) {
            epoll_event& event = events_[eventAt_];
            if (event.data.ptr == nullptr) {
                if (!first) {
                    DrainWake();
                    woken = true;
                }
            } else if (event.data.ptr != this) {  // this: the watch was removed since the wait
                Watch& watch = *static_cast<Watch*>(event.data.ptr);
                if (watch.first_ != first)
                    continue;
                event.data.ptr = this;  // handled
                Invoke(watch, event.events);
            }
        }
    }
    eventCount_ = 0;
    // Every post wakes the loop (or finds it woken and not yet drained, as one posted from
    // this turn does), so the post queue's lock is taken only when something was posted.
    if (woken || wakeSet_.load())
        RunPosts();
    // How late timed work is reached is the timer's lateness and the wake-up up to the work,
    // so the sample covers both: taken when the loop gets to the first due timer, not when the
    // wait ends.
    const Clock::time_point reached = RunDueTimers();
    if (n == 0 && timed && reached != Clock::time_point())
        lateness_.Sample(reached - aimedAt);
    return woken;
}

void EventLoop::FitPolicy(bool timerNear)
{
    // A batch thread does not preempt the task whose send or write woke it: a run of datagrams
    // from a sender on this machine is taken in one wake-up instead of one each. But a batch
    // thread woken by its timer also waits for the running task, up to the scheduler's tick,
    // so while a timer is near the loop runs as a normal thread. Only a hint: where the
    // change is refused the thread runs as it is.
    const bool batch = !timerNear;
    if (batch == batch_)
        return;
    const sched_param none{};
    sched_setscheduler(0, batch ? SCHED_BATCH : SCHED_OTHER, &none);
    batch_ = batch;
}

void EventLoop::RunPosts()
{
    {
        std::lock_guard lock(postMutex_);
        running_.swap(posts_);
    }
    for (Task& task : running_)
        task();
    running_.clear();
}

Clock::time_point EventLoop::RunDueTimers()
{
    // Each due timer runs once here, even one armed again for now: the loop looks at its
    // descriptors between them.
    const auto now = clock_.Now();
    ready_.clear();
    for (Timer* timer = Earliest(); timer && timer->runsAt_ <= now; timer = Earliest()) {
        (timer->aimed_ ? aimedTimers_ : timers_).Remove(*timer);
        timer->state_ = Timer::State::Ready;
        timer->place_ = ready_.size();
        ready_.push_back(timer);
    }
    Clock::time_point reached;
    for (size_t k = 0; k < ready_.size(); ++k) {
        Timer* timer = ready_[k];
        if (!timer)
            continue;  // cancelled or armed again by an earlier one
        if (reached == Clock::time_point())
            reached = clock_.Now();
        Disarm(*timer);
        if (timer->aimed_)
            WaitOut(timer->dueAt_);
        Invoke(*timer);
    }
    ready_.clear();
    return reached;
}

void EventLoop::WaitOut(Clock::time_point dueAt) const
{
    // At most the lead, a few tens of microseconds as a rule: a sleep that short would end a
    // wake-up late, which is what the early wake-up saves.
    while (clock_.Now() < dueAt) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

EventLoop::Timer* EventLoop::Earliest() const
{
    Timer* plain = timers_.Top();
    Timer* aimed = aimedTimers_.Top();
    if (!plain || !aimed)
        return plain ? plain : aimed;
    return aimed->runsAt_ < plain->runsAt_ ? aimed : plain;
}

void EventLoop::Forget(const Watch& watch)
{
    for (int k = 0; k < eventCount_; ++k)
        if (events_[k].data.ptr == &watch)
            events_[k].data.ptr = this;
}

template <class Handle, class... Args>
void EventLoop::Invoke(Handle& handle, Args... args)
{
    Running running{&handle, false, calling_};
    calling_ = &running;
    auto callback = std::move(handle.callback_);
    callback(args...);
    calling_ = running.outer;
    if (!running.gone)
        handle.callback_ = std::move(callback);
}

void EventLoop::Gone(const void* handle)
{
    for (Running* r = calling_; r; r = r->outer)
        if (r->handle == handle)
            r->gone = true;
}

void EventLoop::Arm(Timer& timer, Clock::time_point runsAt, bool aimed)
{
    Disarm(timer);
    timer.arming_ = nextArming_++;
    timer.runsAt_ = runsAt;
    timer.aimed_ = aimed;
    (aimed ? aimedTimers_ : timers_).Push(timer);
}

void EventLoop::Disarm(Timer& timer)
{
    if (timer.state_ == Timer::State::Armed)
        (timer.aimed_ ? aimedTimers_ : timers_).Remove(timer);
    else if (timer.state_ == Timer::State::Ready)
        ready_[timer.place_] = nullptr;
    timer.state_ = Timer::State::Idle;
}

bool EventLoop::TimerHeap::Before(const Timer& a, const Timer& b)
{
    return a.runsAt_ < b.runsAt_ || (a.runsAt_ == b.runsAt_ && a.arming_ < b.arming_);
}

void EventLoop::TimerHeap::Place(size_t at, Timer& timer)
{
    items_[at] = &timer;
    timer.place_ = at;
}

void EventLoop::TimerHeap::Push(Timer& timer)
{
    timer.state_ = Timer::State::Armed;
    items_.push_back(&timer);
    Place(items_.size() - 1, timer);
    Up(items_.size() - 1);
}

void EventLoop::TimerHeap::Remove(Timer& timer)
{
    const size_t at = timer.place_;
    Timer& last = *items_.back();
    items_.pop_back();
    if (&last == &timer)
        return;
    Place(at, last);
    Up(at);
    Down(last.place_);
}

void EventLoop::TimerHeap::Up(size_t at)
{
    Timer& timer = *items_[at];
    while (at > 0) {
        const size_t parent = (at - 1) / 2;
        if (!Before(timer, *items_[parent]))
            break;
        Place(at, *items_[parent]);
        at = parent;
    }
    Place(at, timer);
}

void EventLoop::TimerHeap::Down(size_t at)
{
    Timer& timer = *items_[at];
    for (;;) {
        size_t child = 2 * at + 1;
        if (child >= items_.size())
            break;
        if (child + 1 < items_.size() && Before(*items_[child + 1], *items_[child]))
            ++child;
        if (!Before(*items_[child], timer))
            break;
        Place(at, *items_[child]);
        at = child;
    }
    Place(at, timer);
}

int EventLoop::Watch::Add(int fd, uint32_t events)
{
    Remove();
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = this;
    if (epoll_ctl(loop_.epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0)
        return errno;
    fd_ = fd;
    events_ = events;
    return 0;
}

int EventLoop::Watch::Modify(uint32_t events)
{
    if (fd_ < 0)
        return EBADF;
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = this;
    if (epoll_ctl(loop_.epollFd_, EPOLL_CTL_MOD, fd_, &ev) != 0)
        return errno;
    events_ = events;
    return 0;
}

void EventLoop::Watch::Remove()
{
    if (fd_ < 0)
        return;
    epoll_ctl(loop_.epollFd_, EPOLL_CTL_DEL, fd_, nullptr);
    loop_.Forget(*this);
    fd_ = -1;
    events_ = 0;
}

void EventLoop::Timer::At(Clock::time_point dueAt, Clock::duration span)
{
    dueAt_ = dueAt;
    const auto lead = span > Clock::duration::zero() ? loop_.lateness_.Lead(span) : Clock::duration::zero();
    loop_.Arm(*this, dueAt - lead, span > Clock::duration::zero());
}

void EventLoop::Timer::Cancel()
{
    loop_.Disarm(*this);
}
