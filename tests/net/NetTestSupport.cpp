#include "NetTestSupport.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

uint16_t FreeLoopbackPort(int type)
{
    int fd = socket(AF_INET, type, 0);
    SocketAddress address = Loopback(0);
    bind(fd, address.Raw(), SocketAddress::Length);
    socklen_t length = SocketAddress::Length;
    getsockname(fd, address.Raw(), &length);
    close(fd);
    return address.Port();
}

SocketAddress Loopback(uint16_t port)
{
    SocketAddress address;
    address.Set(127, 0, 0, 1, port);
    return address;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline)
{
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int UdpSocketOn(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    SocketAddress address = Loopback(port);
    if (bind(fd, address.Raw(), SocketAddress::Length) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int TcpListenerOn(uint16_t port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    SocketAddress address = Loopback(port);
    if (bind(fd, address.Raw(), SocketAddress::Length) < 0 || listen(fd, 8) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int AcceptWithin(int listener, std::chrono::milliseconds deadline)
{
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(deadline.count())) != 1)
        return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}
