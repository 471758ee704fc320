#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

// The one IPv4 endpoint type: exactly a sockaddr_in, so the same 16 bytes go to bind,
// connect, sendto and recvfrom.
class SocketAddress : public sockaddr_in {
public:
    SocketAddress();

    // Octets in dotted order, port in host order.
    SocketAddress& Set(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port);
    // Address as held in an in_addr (network order), port in host order.
    SocketAddress& SetInAddr(uint32_t networkOrderAddress, uint16_t port);
    // "a.b.c.d:port"; '.' and ':' are interchangeable, fields convert like atol. Never fails.
    SocketAddress& Parse(const char* text);
    // A stored address text ("A.B.C.D", or "A.B.C.D:port" in a hand-written file), its fields
    // read as Parse reads them, its port defaultPort when it names none. A number beyond its
    // field's range (an octet above 255, a port above 65535, a negative one) is refused rather
    // than wrapped: false, and the address stays as it was.
    bool ParseStored(const std::string& text, uint16_t defaultPort);
    // Dotted octets without the port.
    std::string ToText() const;
    // Address and port only; family and padding are not compared.
    bool Equals(const SocketAddress& other) const;

    // False for the any-address or port 0: sent there, bytes would come back to this machine
    // or go nowhere, never to a DTU.
    bool IsPeer() const { return sin_addr.s_addr != htonl(INADDR_ANY) && sin_port != 0; }
    uint16_t Port() const { return ntohs(sin_port); }
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(this); }
    sockaddr* Raw() { return reinterpret_cast<sockaddr*>(this); }
    static constexpr socklen_t Length = sizeof(sockaddr_in);
};

static_assert(sizeof(SocketAddress) == 16, "SocketAddress must be a plain sockaddr_in");
