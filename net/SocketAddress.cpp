#include "net/SocketAddress.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

SocketAddress::SocketAddress()
{
    std::memset(static_cast<sockaddr_in*>(this), 0, sizeof(sockaddr_in));
    sin_family = AF_INET;
}

SocketAddress& SocketAddress::Set(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port)
{
    sin_family = AF_INET;
    auto* octets = reinterpret_cast<uint8_t*>(&sin_addr);
    octets[0] = a;
    octets[1] = b;
    octets[2] = c;
    octets[3] = d;
    sin_port = htons(port);
    return *this;
}

SocketAddress& SocketAddress::SetInAddr(uint32_t networkOrderAddress, uint16_t port)
{
    sin_family = AF_INET;
    sin_addr.s_addr = networkOrderAddress;
    sin_port = htons(port);
    return *this;
}

SocketAddress& SocketAddress::Parse(const char* text)
{
    std::string fields[5];
    int current = 0;
    for (const char* p = text; *p; ++p) {
        if (*p == '.' || *p == ':') {
            if (++current == 5)
                break;  // a fifth separator ends the walk
        } else {
            fields[current] += *p;
        }
    }
    // atol on arbitrary text can overflow; strtoll saturates instead and the low bits are
    // what counts anyway.
    auto convert = [](const std::string& field) {
        return static_cast<unsigned long long>(std::strtoll(field.c_str(), nullptr, 10));
    };
    return Set(static_cast<uint8_t>(convert(fields[0])), static_cast<uint8_t>(convert(fields[1])),
               static_cast<uint8_t>(convert(fields[2])), static_cast<uint8_t>(convert(fields[3])),
               static_cast<uint16_t>(convert(fields[4])));
}

std::string SocketAddress::ToText() const
{
    const auto* o = reinterpret_cast<const uint8_t*>(&sin_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", o[0], o[1], o[2], o[3]);
    return text;
}

bool SocketAddress::Equals(const SocketAddress& other) const
{
    return sin_addr.s_addr == other.sin_addr.s_addr && sin_port == other.sin_port;
}
