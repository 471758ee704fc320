#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/epoll.h>

#include "net/Clock.h"
#include "net/TimerLateness.h"

// The data path's one thread: an epoll over descriptors that Watch handles register, timers
// that Timer handles arm, and one eventfd through which other threads post work. Descriptors,
// timers and whatever they reach are the loop thread's alone: other threads post a function
// (Post) or wait for one's result (Call), so nothing the loop owns needs a lock.
//
// Timers armed with a span (a gap, a retry) are aimed by the loop's timer lateness: the loop
// wakes for one up to what it measured from the end of a timed wait to reaching the timer
// earlier (never more than a twentieth of the span), then waits the rest out on its CPU, so
// the callback runs at its time or after it, never before, and about on time rather than a
// wake-up late. Waits are to the microsecond (epoll_pwait2 where the kernel has it).
//
// The loop's own thread runs as a batch thread (it does not preempt the task that woke it, so
// a sender's run of datagrams is taken in one wake-up) except while a timer aimed at its time
// (armed with a span: a port's gap) is due within BatchHorizon: a late start would make it
// late. Timers without a span (a retry, a look at the statuses) do not mind a tick more.
//
// The loop runs on a thread of its own (Start .. Stop), or is turned by its owner's thread
// (RunOnce, RunUntil: tests, which on a ManualClock move time by hand).
class EventLoop {
public:
    class Watch;
    class Timer;

    explicit EventLoop(Clock& clock = Clock::Steady());
    // Stops the thread; every Watch and Timer must be gone by then.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // The errno when the loop's epoll or eventfd could not be made; 0 when it can run.
    int Error() const { return error_; }

    // Runs the loop on a new thread of this name until Stop. False (with errno) when it
    // cannot run.
    bool Start(const char* threadName);
    // Runs what was posted before it, then ends the thread and waits for it. After it, Post
    // refuses and Call runs on the caller's thread. From the loop's own thread it only asks
    // the loop to end after this turn.
    void Stop();
    bool InLoopThread() const { return std::this_thread::get_id() == loopThread_.load(); }

    // One turn on the caller's thread: waits at most limit (real time) for a descriptor, a
    // post or the next timer, then handles what came and the timers due.
    void RunOnce(std::chrono::milliseconds limit);
    // Turns until done holds (checked after each turn) or limit (real time) passed.
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

    Clock& Time() const { return clock_; }
    Clock::time_point Now() const { return clock_.Now(); }

    // Runs fn on the loop thread at its next turn, after what was posted before. Any thread.
    // False once the loop stopped: fn is then dropped.
    bool Post(std::function<void()> fn);
    // Runs fn on the loop thread and returns its result. On the loop's own thread, or when no
    // thread of the loop's own runs (a loop turned by its owner, one that stopped), the caller
    // runs it itself. Never from a Watch or Timer callback of another loop.
    template <class F>
    std::invoke_result_t<F&> Call(F&& fn);

    // Counts the loop's wake-ups. A watchdog pokes the loop and later sees from the count
    // whether the loop got round to it: then the data path is alive. Any thread.
    uint64_t Heartbeat() const { return heartbeat_.load(std::memory_order_relaxed); }
    void Poke() { Wake(); }

private:
    using Task = std::function<void()>;

    // Turns with real waits of at most limit (duration::max(): none). False when nothing woke
    // it (no post, no stop to look at).
    bool Turn(Clock::duration limit);
    void Loop();
    void Wake();
    void DrainWake();
    // The loop's own thread as a batch thread unless a timer ends the coming wait soon.
    void FitPolicy(bool timerNear);
    // Runs the posts queued now.
    void RunPosts();
    // Runs the timers due by now; when the loop got to the first of them (before waiting out
    // the rest of an aimed one), or no time when none ran.
    Clock::time_point RunDueTimers();
    // An aimed timer woken early: spins until its time.
    void WaitOut(Clock::time_point dueAt) const;
    // Posted and refused: waits until the loop's thread ended, so the caller may run it.
    void WaitEnded();

    // Registration of handles; loop thread.
    // No event of this turn's still to come reaches the watch.
    void Forget(const Watch& watch);
    void Arm(Timer& timer, Clock::time_point runsAt, bool aimed);
    void Disarm(Timer& timer);
    Timer* Earliest() const;
    // Runs a handle's callback without a copy of it: the callback may destroy its handle, so
    // it is moved out for the call and back only while the handle still exists.
    template <class Handle, class... Args>
    void Invoke(Handle& handle, Args... args);
    void Gone(const void* handle);

    // Armed timers by when they run (and then by when they were armed), earliest first: a
    // binary heap whose timers know their places, so arming, cancelling and running a timer
    // allocate nothing once the heap has grown.
    class TimerHeap {
    public:
        Timer* Top() const { return items_.empty() ? nullptr : items_.front(); }
        void Push(Timer& timer);
        void Remove(Timer& timer);

    private:
        static bool Before(const Timer& a, const Timer& b);
        void Place(size_t at, Timer& timer);
        void Up(size_t at);
        void Down(size_t at);
        std::vector<Timer*> items_;
    };
    // A callback being run, to learn whether its handle went meanwhile.
    struct Running {
        const void* handle;
        bool gone;
        Running* outer;
    };

    Clock& clock_;
    int error_ = 0;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<std::thread::id> loopThread_{};
    std::thread thread_;
    std::atomic<uint64_t> heartbeat_{0};
    TimerLateness lateness_;
    static constexpr Clock::duration BatchHorizon = std::chrono::seconds(1);
    bool batch_ = false;  // loop thread: it runs as a batch thread

    std::mutex postMutex_;
    std::vector<Task> posts_;    // under postMutex_
    std::vector<Task> running_;  // loop thread: the posts being run
    bool accepting_ = true;      // under postMutex_
    bool stopAsked_ = false;     // under postMutex_
    bool ended_ = false;         // under postMutex_
    std::condition_variable endedChanged_;
    std::atomic<bool> wakeSet_{false};

    // The events of the turn being handled; a watch removed meanwhile is forgotten in them.
    static constexpr int MaxEvents = 64;
    epoll_event events_[MaxEvents];
    int eventCount_ = 0;
    int eventAt_ = 0;
    Running* calling_ = nullptr;  // innermost callback being run
    TimerHeap timers_;            // armed without a span
    TimerHeap aimedTimers_;       // armed with a span
    std::vector<Timer*> ready_;   // RunDueTimers' own: the timers due at its look, null once disarmed
    uint64_t nextArming_ = 1;
};

// One descriptor watched by a loop; the callback gets the epoll events. The descriptor stays
// its owner's. Loop thread only; the handle may be destroyed (and its descriptor closed) from
// inside any callback, its own included.
class EventLoop::Watch {
public:
    using Callback = std::function<void(uint32_t events)>;

    Watch(EventLoop& loop, Callback callback) : loop_(loop), callback_(std::move(callback)) {}
    ~Watch()
    {
        Remove();
        loop_.Gone(this);
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

    // Watches fd for these epoll events (EPOLLIN, EPOLLOUT, EPOLLET ...), instead of what was
    // watched before. 0, or the errno.
    int Add(int fd, uint32_t events);
    // Other events for the same descriptor. 0, or the errno.
    int Modify(uint32_t events);
    // Stops watching; no callback follows, not even for events already taken from the kernel.
    void Remove();
    // Of the events the loop takes at once, this watch's are handled before the others'.
    void GoFirst() { first_ = true; }

    int Fd() const { return fd_; }
    uint32_t Events() const { return events_; }

private:
    friend class EventLoop;
    EventLoop& loop_;
    Callback callback_;
    int fd_ = -1;
    uint32_t events_ = 0;
    bool first_ = false;
};

// A callback the loop runs once at a time; armed again by its owner as it needs. Loop thread
// only; the handle may be destroyed from inside any callback, its own included.
class EventLoop::Timer {
public:
    Timer(EventLoop& loop, std::function<void()> callback) : loop_(loop), callback_(std::move(callback)) {}
    ~Timer()
    {
        Cancel();
        loop_.Gone(this);
    }
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Runs the callback at dueAt, instead of when it was due before. span is the length of the
    // wait it times: the loop may wake for it up to its measured lateness early, never more
    // than a twentieth of span, and waits the rest out (0: no early wake-up). Never before
    // dueAt either way.
    void At(Clock::time_point dueAt, Clock::duration span = {});
    // Runs the callback at the loop's next look at its timers.
    void Soon() { At(loop_.Now()); }
    void Cancel();
    bool Pending() const { return state_ != State::Idle; }
    Clock::time_point DueAt() const { return dueAt_; }

private:
    friend class EventLoop;
    EventLoop& loop_;
    enum class State { Idle, Armed, Ready };  // Ready: due at this look at the timers
    std::function<void()> callback_;
    State state_ = State::Idle;
    size_t place_ = 0;     // in its heap while Armed, in ready_ while Ready
    uint64_t arming_ = 0;  // orders timers that run at the same time
    bool aimed_ = false;   // armed with a span
    Clock::time_point dueAt_;
    Clock::time_point runsAt_;
};

template <class F>
std::invoke_result_t<F&> EventLoop::Call(F&& fn)
{
    using Result = std::invoke_result_t<F&>;
    if (InLoopThread() || loopThread_.load() == std::thread::id())
        return fn();
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future();
    const bool posted = Post([&fn, promise] {
        if constexpr (std::is_void_v<Result>) {
            fn();
            promise->set_value();
        } else {
            promise->set_value(fn());
        }
    });
    if (!posted) {
        WaitEnded();
        return fn();
    }
    return future.get();
}
