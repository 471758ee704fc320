#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "net/Reason.h"
#include "vport/LineState.h"

// One virtual serial port instance: a pseudo-terminal whose slave is reachable as a symbolic
// link named like the port ("COM7") in the port directory. All methods may be called from any
// thread.
class VirtualSerialPort {
public:
    VirtualSerialPort();
    ~VirtualSerialPort();
    VirtualSerialPort(const VirtualSerialPort&) = delete;
    VirtualSerialPort& operator=(const VirtualSerialPort&) = delete;

    // Creates the port under the name, with every descriptor it needs. False (OpenFailure
    // says why) when it cannot be made or another live port of this program serves the name.
    bool Open(const std::string& name);
    // Removes the link (while it still points at this port) and the pseudo-terminal; an
    // application still holding it sees a hang-up. Always true.
    bool Close();
    // Bytes towards the application, in order; the count accepted. While no
    // application holds the port the bytes are dropped and still counted, as a serial line
    // takes bytes nobody listens to; while one does, what the terminal cannot take at once
    // is queued (up to 1 MiB), and only beyond that is the count short.
    int Write(const uint8_t* data, int count);
    // Up to max bytes the application wrote, oldest first; never blocks.
    int Read(uint8_t* buffer, int max);
    // Accepted, no visible effect: the pseudo-terminal always passes bytes both ways.
    bool EnableReceive(bool on);
    bool EnableTransmit(bool on);
    // An application holds the port open.
    bool InUse() const;
    // Exactly how many bytes Read would return now.
    int Pending() const;
    // Accepted, no visible effect: a port is ready once made.
    bool Initialize();

    // Readable while Pending() > 0, for a pump that sleeps until its port has input; -1 before
    // the first successful Open, then the same descriptor for the life of the instance.
    int InputFd() const;
    // When the bytes the application wrote last came in (for the framing gap).
    std::chrono::steady_clock::time_point LastInputTime() const;
    // The link path while open ("" otherwise), for showing users what to open.
    std::string DevicePath() const;
    // Why the last Open failed, naming the directory or file and the system's reason; no
    // failure after one that succeeded.
    Reason OpenFailure() const;

    // The settings and modem lines the application holding the port set through the serial
    // compatibility library; empty while nobody holds the port or the library is not in use.
    std::optional<LineState> LineSettings() const;

    // Where the links of all ports are made: $XDG_RUNTIME_DIR/MV5840VSP, or
    // /tmp/MV5840VSP-<uid> when XDG_RUNTIME_DIR is unset.
    static std::string PortDirectory();

private:
    Reason Make(const std::string& name);

    struct Impl;
    Impl* impl_;
};
