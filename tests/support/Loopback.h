#pragma once

#include <cstdint>

#include "net/SocketAddress.h"

// 127.0.0.1 with the port (0: any).
SocketAddress Loopback(uint16_t port);
// Any dotted IPv4 address, e.g. another 127.0.0.x or 0.0.0.0.
SocketAddress Ipv4(const char* ip, uint16_t port);

// A UDP or TCP port (SOCK_DGRAM, SOCK_STREAM) on 127.0.0.1 that was free a moment ago.
uint16_t FreeLoopbackPort(int type);
