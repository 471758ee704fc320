#pragma once

#include <chrono>
#include <cstdint>

// Milliseconds since an arbitrary start, wrapping at 32 bits like the system tick count.
inline uint32_t GetTickCount32()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
