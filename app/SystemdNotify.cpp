#include "app/SystemdNotify.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>

#include "net/Log.h"

namespace {

uint64_t NumberFromEnvironment(const char* name)
{
    const char* text = std::getenv(name);
    if (!text || !*text)
        return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return errno == 0 && end && *end == '\0' ? value : 0;
}

}  // namespace

SystemdNotify::SystemdNotify()
{
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (!socketName || !*socketName)
        return;
    const size_t length = std::strlen(socketName);
    if ((socketName[0] != '/' && socketName[0] != '@') || length >= sizeof address_.sun_path) {
        Log::Warning(std::string("NOTIFY_SOCKET=") + socketName
                     + " is no socket path; the service manager is not told "
                       "when the ports are ready");
        return;
    }
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, socketName, length);
    if (socketName[0] == '@')
        address_.sun_path[0] = '\0';
    addressLength_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        Log::Warning("cannot reach the service manager (NOTIFY_SOCKET): " + Log::SystemReason(errno));
        return;
    }
    const uint64_t watchdogPid = NumberFromEnvironment("WATCHDOG_PID");
    if (watchdogPid == 0 || watchdogPid == static_cast<uint64_t>(getpid()))
        watchdogUsec_ = NumberFromEnvironment("WATCHDOG_USEC");
}

SystemdNotify::~SystemdNotify()
{
    if (fd_ >= 0)
        close(fd_);
}

void SystemdNotify::Send(std::string_view message) const
{
    if (fd_ < 0)
        return;
    ssize_t sent;
    do {
        sent = sendto(fd_, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address_),
                      addressLength_);
    } while (sent < 0 && errno == EINTR);
    // Said once: a manager that went away would otherwise be reported at every status.
    static bool reported = false;
    if (sent < 0 && !reported) {
        reported = true;
        Log::Warning("cannot tell the service manager how the service is (NOTIFY_SOCKET): " + Log::SystemReason(errno));
    }
}

uint64_t SystemdNotify::MonotonicUsec()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}
