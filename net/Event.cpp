#include "net/Event.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

Event::Event(bool manualReset, bool initiallySet)
    : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), manualReset_(manualReset)
{
    if (fd_ < 0)
        error_ = errno;
    else if (initiallySet)
        Set();
}

Event::~Event()
{
    if (fd_ >= 0)
        close(fd_);
}

void Event::Set()
{
    if (fd_ < 0)
        return;
    // The counter only has to be nonzero; a saturated counter (EAGAIN) is still set.
    uint64_t one = 1;
    while (write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Event::Reset()
{
    if (fd_ < 0)
        return;
    uint64_t value;
    while (read(fd_, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool Event::IsSet() const
{
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

bool Event::Wait(uint32_t timeoutMs)
{
    if (fd_ < 0)
        return false;  // would never be signalled
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, timeoutMs == Infinite ? -1 : static_cast<int>(timeoutMs));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        if (manualReset_)
            return true;
        // Auto reset: only the waiter whose read takes the count gets the signal.
        uint64_t value;
        if (read(fd_, &value, sizeof value) == sizeof value)
            return true;
    }
}
