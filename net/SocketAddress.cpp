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

namespace {

// The five fields of an address text, split as Parse splits it: a '.' or a ':' ends a field,
// a fifth separator ends the walk.
struct AddressFields {
    std::string text[5];
    // atol on arbitrary text can overflow; strtoll saturates instead and the low bits are
    // what counts anyway.
    long long Number(int field) const { return std::strtoll(text[field].c_str(), nullptr, 10); }
};

AddressFields SplitFields(const char* text)
{
    AddressFields fields;
    int current = 0;
    for (const char* p = text; *p; ++p) {
        if (*p == '.' || *p == ':') {
            if (++current == 5)
                break;
        } else {
            fields.text[current] += *p;
        }
    }
    return fields;
}

}  // namespace

SocketAddress& SocketAddress::Parse(const char* text)
{
    const AddressFields f = SplitFields(text);
    auto low = [&](int field) { return static_cast<unsigned long long>(f.Number(field)); };
    return Set(static_cast<uint8_t>(low(0)), static_cast<uint8_t>(low(1)), static_cast<uint8_t>(low(2)),
               static_cast<uint8_t>(low(3)), static_cast<uint16_t>(low(4)));
}

bool SocketAddress::ParseStored(const std::string& text, uint16_t defaultPort)
{
    const AddressFields f = SplitFields(text.c_str());
    long long n[5];
    for (int field = 0; field < 5; ++field) {
        n[field] = f.Number(field);
        if (n[field] < 0 || n[field] > (field < 4 ? 255 : 65535))
            return false;
    }
    // Only a port field with a number in it names a port.
    const bool namesPort = f.text[4].find_first_of("0123456789") != std::string::npos;
    Set(static_cast<uint8_t>(n[0]), static_cast<uint8_t>(n[1]), static_cast<uint8_t>(n[2]), static_cast<uint8_t>(n[3]),
        namesPort ? static_cast<uint16_t>(n[4]) : defaultPort);
    return true;
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
