#include <algorithm>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "net/EventLoop.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;

struct Pipe {
    Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0); }
    ~Pipe()
    {
        close(fds[0]);
        close(fds[1]);
    }
    int Read() const { return fds[0]; }
    void Put() const { EXPECT_EQ(write(fds[1], "x", 1), 1); }
    int fds[2];
};

TEST(EventLoop, PostsRunInOrderOnTheLoopsOwnNamedThread)
{
    EventLoop loop;
    ASSERT_EQ(loop.Error(), 0);
    ASSERT_TRUE(loop.Start("mv-test-loop"));
    std::vector<int> order;
    std::atomic<bool> elsewhere{true};
    for (int k = 0; k < 100; ++k)
        EXPECT_TRUE(loop.Post([&, k] {
            order.push_back(k);
            elsewhere = elsewhere && loop.InLoopThread();
        }));
    const std::string name = loop.Call([] {
        char text[16] = {};
        prctl(PR_GET_NAME, text, 0, 0, 0);
        return std::string(text);
    });
    EXPECT_EQ(name, "mv-test-loop");
    EXPECT_TRUE(elsewhere);
    EXPECT_FALSE(loop.InLoopThread());
    const std::vector<int> seen = loop.Call([&] { return order; });
    ASSERT_EQ(seen.size(), 100u);
    for (int k = 0; k < 100; ++k)
        EXPECT_EQ(seen[static_cast<size_t>(k)], k);
    // A call from the loop's own thread runs at once instead of waiting for itself.
    EXPECT_EQ(loop.Call([&] { return loop.Call([] { return 7; }); }), 7);
    loop.Stop();
}

TEST(EventLoop, WhatWasPostedBeforeStopRunsAndNothingAfter)
{
    EventLoop loop;
    ASSERT_TRUE(loop.Start("mv-test-loop"));
    std::atomic<int> ran{0};
    loop.Post([&] { std::this_thread::sleep_for(20ms); });
    for (int k = 0; k < 10; ++k)
        loop.Post([&] { ++ran; });
    loop.Stop();
    EXPECT_EQ(ran, 10);
    EXPECT_FALSE(loop.Post([&] { ++ran; }));
    // With no thread of its own left, a call runs on the caller's.
    const auto caller = std::this_thread::get_id();
    EXPECT_TRUE(loop.Call([&] { return std::this_thread::get_id() == caller; }));
    EXPECT_EQ(ran, 10);
}

TEST(EventLoop, CallsFromManyThreadsEachGetTheirOwnResult)
{
    EventLoop loop;
    ASSERT_TRUE(loop.Start("mv-test-loop"));
    int counter = 0;  // the loop's alone
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int k = 0; k < 500; ++k) {
                const int got = loop.Call([&, t, k] {
                    ++counter;
                    return t * 1000 + k;
                });
                if (got != t * 1000 + k)
                    ++wrong;
            }
        });
    }
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(loop.Call([&] { return counter; }), 2000);
    loop.Stop();
}

TEST(EventLoop, APokeWakesTheLoopSoItsHeartbeatMoves)
{
    EventLoop loop;
    ASSERT_TRUE(loop.Start("mv-test-loop"));
    ASSERT_TRUE(WaitUntil([&] { return loop.Call([] { return true; }); }));
    const uint64_t before = loop.Heartbeat();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(loop.Heartbeat(), before) << "an idle loop sleeps";
    loop.Poke();
    EXPECT_TRUE(WaitUntil([&] { return loop.Heartbeat() != before; }));
    loop.Stop();
}

TEST(EventLoop, TimersRunWhenDueOnTheClockInOrder)
{
    ManualClock clock;
    EventLoop loop(clock);
    std::vector<std::string> fired;
    EventLoop::Timer gap(loop, [&] { fired.push_back("gap"); });
    EventLoop::Timer retry(loop, [&] { fired.push_back("retry"); });
    const auto start = clock.Now();
    retry.At(start + 1s);
    gap.At(start + 10ms);
    EXPECT_TRUE(gap.Pending());
    loop.RunOnce(0ms);
    clock.Advance(9ms);
    loop.RunOnce(0ms);
    EXPECT_TRUE(fired.empty());
    clock.Advance(1ms);
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, std::vector<std::string>{"gap"});
    EXPECT_FALSE(gap.Pending());
    clock.Advance(989ms);
    loop.RunOnce(0ms);
    EXPECT_EQ(fired.size(), 1u);
    // Armed again before it was due: only the new time counts.
    retry.At(start + 2s);
    clock.Advance(1ms);
    loop.RunOnce(0ms);
    EXPECT_EQ(fired.size(), 1u);
    clock.Advance(1s);
    loop.RunOnce(0ms);
    EXPECT_EQ(fired, (std::vector<std::string>{"gap", "retry"}));
    // A cancelled timer never runs.
    gap.At(clock.Now());
    gap.Cancel();
    loop.RunOnce(0ms);
    EXPECT_EQ(fired.size(), 2u);
}

TEST(EventLoop, ATimerArmedForNowFromItsOwnCallbackRunsAtTheNextTurn)
{
    ManualClock clock;
    EventLoop loop(clock);
    int runs = 0;
    EventLoop::Timer again(loop, [&] {});
    EventLoop::Timer* self = nullptr;
    EventLoop::Timer repeating(loop, [&] {
        ++runs;
        self->Soon();
    });
    self = &repeating;
    repeating.Soon();
    loop.RunOnce(0ms);
    EXPECT_EQ(runs, 1);
    loop.RunOnce(0ms);
    EXPECT_EQ(runs, 2);
}

TEST(EventLoop, AHandleDestroyedByAnEarlierCallbackIsNotCalled)
{
    ManualClock clock;
    EventLoop loop(clock);
    auto second = std::make_unique<EventLoop::Timer>(loop, [] { FAIL() << "destroyed timer ran"; });
    EventLoop::Timer first(loop, [&] { second.reset(); });
    first.At(clock.Now());
    second->At(clock.Now() + 1ns);
    clock.Advance(1ms);
    loop.RunOnce(0ms);
    EXPECT_FALSE(first.Pending());

    // Two descriptors ready in the same turn: the first one's callback removes the other.
    Pipe a, b;
    int calls = 0;
    std::unique_ptr<EventLoop::Watch> watchA, watchB;
    auto drop = [&](uint32_t) {
        ++calls;
        watchA.reset();
        watchB.reset();
    };
    watchA = std::make_unique<EventLoop::Watch>(loop, drop);
    watchB = std::make_unique<EventLoop::Watch>(loop, drop);
    ASSERT_EQ(watchA->Add(a.Read(), EPOLLIN), 0);
    ASSERT_EQ(watchB->Add(b.Read(), EPOLLIN), 0);
    a.Put();
    b.Put();
    loop.RunOnce(100ms);
    EXPECT_EQ(calls, 1);
}

TEST(EventLoop, AWatchCallsWhileItsDescriptorIsReadyAndNotOnceRemoved)
{
    EventLoop loop;
    Pipe pipe;
    int calls = 0;
    uint32_t seen = 0;
    EventLoop::Watch watch(loop, [&](uint32_t events) {
        ++calls;
        seen = events;
    });
    ASSERT_EQ(watch.Add(pipe.Read(), EPOLLIN), 0);
    EXPECT_EQ(watch.Fd(), pipe.Read());
    loop.RunOnce(0ms);
    EXPECT_EQ(calls, 0);
    pipe.Put();
    ASSERT_TRUE(loop.RunUntil([&] { return calls == 1; }, 10s));
    EXPECT_TRUE(seen & EPOLLIN);
    // Level-triggered: still unread, so reported again.
    loop.RunOnce(0ms);
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(watch.Modify(EPOLLIN | EPOLLET), 0);
    loop.RunOnce(0ms);
    const int afterEdge = calls;
    loop.RunOnce(0ms);
    EXPECT_EQ(calls, afterEdge) << "edge-triggered: reported once";
    watch.Remove();
    pipe.Put();
    loop.RunOnce(10ms);
    EXPECT_EQ(calls, afterEdge);
    EXPECT_EQ(watch.Add(-1, EPOLLIN), EBADF);
}

TEST(EventLoop, ATimerOnTheSteadyClockRunsNoEarlierThanDue)
{
    EventLoop loop;
    ASSERT_TRUE(loop.Start("mv-test-loop"));
    std::atomic<bool> ran{false};
    std::atomic<int64_t> earlyNs{0};
    Clock::time_point due;
    EventLoop::Timer check(loop, [&] {
        earlyNs = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::Steady().Now()).count();
        ran = true;
    });
    loop.Call([&] {
        due = loop.Now() + 30ms;
        check.At(due);
    });
    ASSERT_TRUE(WaitUntil([&] { return ran.load(); }));
    EXPECT_LE(earlyNs, 0) << "a timer without a span never runs early";
    loop.Stop();
}

// While a timer aimed at its time is near, the loop must run as a normal thread: as a batch
// thread such a timer (a port's gap) would wait for whatever runs when it is due. Timers
// without a span (a look at the statuses every 100 ms) leave it a batch thread.
TEST(EventLoop, ItsThreadRunsAsABatchThreadOnlyWhileNoAimedTimerIsNear)
{
    EventLoop loop;
    ASSERT_TRUE(loop.Start("mv-test-loop"));
    EventLoop::Timer gap(loop, [] {});
    EventLoop::Timer expiry(loop, [] {});
    EventLoop::Timer look(loop, [] {});
    auto policy = [&] { return loop.Call([] { return sched_getscheduler(0); }); };
    // Each call is a turn of its own, whose wait was chosen after the previous call.
    policy();
    EXPECT_EQ(policy(), SCHED_BATCH);
    loop.Call([&] { expiry.At(loop.Now() + 60s); });
    policy();
    EXPECT_EQ(policy(), SCHED_BATCH) << "a timer far off leaves it a batch thread";
    loop.Call([&] { look.At(loop.Now() + 100ms); });
    policy();
    EXPECT_EQ(policy(), SCHED_BATCH) << "a near timer without a span leaves it a batch thread";
    loop.Call([&] { gap.At(loop.Now() + 500ms, 500ms); });
    policy();
    EXPECT_EQ(policy(), SCHED_OTHER);
    loop.Call([&] { gap.Cancel(); });
    policy();
    EXPECT_EQ(policy(), SCHED_BATCH);
    loop.Call([&] {
        expiry.Cancel();
        look.Cancel();
    });
    loop.Stop();
}

// Time that moves only as the loop uses it: each timed wait ends at once with the clock moved
// on to the wait's end plus a lateness taken in turn from a list, and every reading moves it on
// by a microsecond, as a real clock does while the loop works.
class LateClock final : public Clock {
public:
    explicit LateClock(std::vector<Clock::duration> lateness) : lateness_(std::move(lateness)) {}

    time_point Now() const override { return time_point(duration(now_.fetch_add(Tick.count()))); }
    duration RealWait(duration untilDue) const override
    {
        if (untilDue > duration::zero())
            now_.fetch_add((untilDue + lateness_[next_++ % lateness_.size()]).count());
        return duration::zero();
    }

private:
    static constexpr duration Tick = std::chrono::microseconds(1);
    const std::vector<Clock::duration> lateness_;
    mutable std::atomic<duration::rep> now_{std::chrono::duration_cast<duration>(std::chrono::hours(1000)).count()};
    mutable size_t next_ = 0;
};

// A port's gap is an aimed timer: once the loop has learnt to wake early for it, half its waits
// here end before the gap does, and the loop waits the rest out: the callback still never
// runs before its time, and runs about on time.
TEST(EventLoop, AnAimedTimerWakesEarlyByItsLatenessButNeverRunsBeforeItsTime)
{
    LateClock clock({0us, 300us, 20us, 280us});
    EventLoop loop(clock);
    std::vector<Clock::duration> beyond;  // ran minus due
    Clock::time_point due;
    EventLoop::Timer gap(loop, [&] { beyond.push_back(clock.Now() - due); });
    for (int k = 0; k < 400; ++k) {
        due = clock.Now() + 10ms;
        gap.At(due, 10ms);
        loop.RunUntil([&] { return !gap.Pending(); }, 10s);
        ASSERT_EQ(beyond.size(), static_cast<size_t>(k + 1));
        ASSERT_GE(beyond.back(), 0us) << "wait " << k;
    }
    // Once learnt, the lead covers three waits in four: those run within a few readings of
    // their time.
    std::vector<Clock::duration> learnt(beyond.begin() + 200, beyond.end());
    std::sort(learnt.begin(), learnt.end());
    EXPECT_LE(learnt[learnt.size() / 2], 10us);
}

}  // namespace
