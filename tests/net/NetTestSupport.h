#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "net/SocketAddress.h"

// A UDP or TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeLoopbackPort(int type);
SocketAddress Loopback(uint16_t port);

// Polls until the condition holds or the (generous) deadline passes.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// Plain blocking sockets for the far side of a test.
int UdpSocketOn(uint16_t port);  // port 0: any
int TcpListenerOn(uint16_t port);
int AcceptWithin(int listener, std::chrono::milliseconds deadline);
