#pragma once

#include <chrono>

#include "support/Loopback.h"
#include "support/Wait.h"

// Plain blocking sockets for the far side of a test.
int UdpSocketOn(uint16_t port);  // port 0: any
int TcpListenerOn(uint16_t port);
int AcceptWithin(int listener, std::chrono::milliseconds deadline);
