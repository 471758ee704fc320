#pragma once

#include <chrono>
#include <functional>

// Polls the condition until it holds or the (generous) limit passes; true when it held.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10),
               std::chrono::microseconds interval = std::chrono::milliseconds(2));

// True when fd becomes readable (or reports a hang-up or error) before the deadline.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline);
bool WaitReadable(int fd, std::chrono::milliseconds limit);

// Milliseconds from now to the deadline, never negative: a poll(2) timeout.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline);
