#pragma once

#include <cstdint>
#include <optional>

#include "net/Clock.h"
#include "vport/LineState.h"

// A user of a virtual port in the place of an application on its pseudo-terminal (a network
// client): while a port has one, the bytes towards the application go to it and what it sends
// is what the port's readers read, with the same rules as the pseudo-terminal's (see
// VirtualSerialPort). Loop thread only.
class RemoteUser {
public:
    // Bytes towards the user; the count taken (short only when its queue is full).
    virtual int Write(const uint8_t* data, int count) = 0;
    virtual int Read(uint8_t* buffer, int max) = 0;
    virtual int Pending() const = 0;
    virtual Clock::time_point LastInputTime() const = 0;
    // The line settings the user set, if it can set any.
    virtual std::optional<LineState> LineSettings() const = 0;

protected:
    ~RemoteUser() = default;
};
