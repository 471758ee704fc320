#include "Loopback.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

SocketAddress Loopback(uint16_t port)
{
    SocketAddress address;
    address.Set(127, 0, 0, 1, port);
    return address;
}

SocketAddress Ipv4(const char* ip, uint16_t port)
{
    SocketAddress address;
    inet_pton(AF_INET, ip, &address.sin_addr);
    address.sin_port = htons(port);
    return address;
}

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
