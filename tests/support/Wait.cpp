#include "Wait.h"

#include <cerrno>
#include <poll.h>
#include <thread>

using Clock = std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
               std::chrono::microseconds interval)
{
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(interval);
    }
    return true;
}

int MillisecondsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitReadable(int fd, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, MillisecondsLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0;
    }
}

bool WaitReadable(int fd, std::chrono::milliseconds limit)
{
    return WaitReadable(fd, Clock::now() + limit);
}
