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

constexpr uint64_t WakeToken = 0;

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
    ev.data.u64 = WakeToken;
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
        Turn(Clock::duration::max());
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

void EventLoop::Turn(Clock::duration limit)
{
    const auto waitFrom = clock_.Now();
    Clock::duration wait = limit;
    bool timed = false;  // the wait ends when the first timer is due
    Clock::time_point aimedAt;
    if (!timers_.empty()) {
        aimedAt = timers_.begin()->first;
        const auto untilDue = aimedAt - waitFrom;
        const auto real = clock_.RealWait(std::max(Clock::duration::zero(), untilDue));
        if (real <= wait) {
            wait = real;
            // One already overdue was held up by the loop's work, not by its timer.
            timed = real != Clock::duration::max() && untilDue > Clock::duration::zero();
        }
    }
    if (InLoopThread())  // not the thread of an owner turning the loop
        FitPolicy(!aimedTimers_.empty() && aimedTimers_.begin()->first - waitFrom <= BatchHorizon);
    epoll_event events[64];
    const int n = WaitForEvents(epollFd_, events, 64, wait);
    if (n < 0 && errno != EINTR) {
        Log::Error("the data path's loop cannot wait: " + Log::SystemReason(errno));
        return;
    }
    heartbeat_.fetch_add(1, std::memory_order_relaxed);
    for (int i = 0; i < n; ++i) {
        const uint64_t token = events[i].data.u64;
        if (token == WakeToken) {
            DrainWake();
            continue;
        }
        const auto it = watches_.find(token);
        if (it == watches_.end())
            continue;  // removed since the wait
        // A copy: the callback may destroy its handle.
        const Watch::Callback callback = it->second->callback_;
        callback(events[i].events);
    }
    RunPosts();
    // How late timed work is reached is the timer's lateness and the wake-up up to the work,
    // so the sample covers both: taken when the loop gets to the first due timer, not when the
    // wait ends.
    const Clock::time_point reached = RunDueTimers();
    if (n == 0 && timed && reached != Clock::time_point())
        lateness_.Sample(reached - aimedAt);
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
    for (auto it = timers_.begin(); it != timers_.end() && it->first <= now; ++it)
        ready_.push_back(it->second);
    Clock::time_point reached;
    for (const uint64_t arming : ready_) {
        const auto it = armed_.find(arming);
        if (it == armed_.end())
            continue;  // cancelled or armed again by an earlier one
        Timer& timer = *it->second;
        if (reached == Clock::time_point())
            reached = clock_.Now();
        Disarm(timer);
        if (timer.aimed_)
            WaitOut(timer.dueAt_);
        const std::function<void()> callback = timer.callback_;
        callback();
    }
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

uint64_t EventLoop::AddWatch(Watch& watch)
{
    const uint64_t id = nextWatchId_++;
    watches_.emplace(id, &watch);
    return id;
}

void EventLoop::DropWatch(uint64_t id)
{
    watches_.erase(id);
}

void EventLoop::Arm(Timer& timer, Clock::time_point runsAt, bool aimed)
{
    Disarm(timer);
    timer.arming_ = nextArming_++;
    timer.runsAt_ = runsAt;
    timer.aimed_ = aimed;
    timers_.emplace(runsAt, timer.arming_);
    if (aimed)
        aimedTimers_.emplace(runsAt, timer.arming_);
    armed_.emplace(timer.arming_, &timer);
}

void EventLoop::Disarm(Timer& timer)
{
    if (timer.arming_ == 0)
        return;
    timers_.erase({timer.runsAt_, timer.arming_});
    if (timer.aimed_)
        aimedTimers_.erase({timer.runsAt_, timer.arming_});
    armed_.erase(timer.arming_);
    timer.arming_ = 0;
}

int EventLoop::Watch::Add(int fd, uint32_t events)
{
    Remove();
    epoll_event ev{};
    ev.events = events;
    const uint64_t id = loop_.AddWatch(*this);
    ev.data.u64 = id;
    if (epoll_ctl(loop_.epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        const int error = errno;
        loop_.DropWatch(id);
        return error;
    }
    fd_ = fd;
    events_ = events;
    id_ = id;
    return 0;
}

int EventLoop::Watch::Modify(uint32_t events)
{
    if (fd_ < 0)
        return EBADF;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id_;
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
    loop_.DropWatch(id_);
    fd_ = -1;
    events_ = 0;
    id_ = 0;
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
