#include "NetTestSupport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    if (!WaitReadable(listener, deadline))
        return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}
