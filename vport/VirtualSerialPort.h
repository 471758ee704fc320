#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "net/Clock.h"
#include "net/Reason.h"
#include "vport/LineState.h"

class PtyMonitor;
class RemoteUser;

// One virtual serial port instance: a pseudo-terminal whose slave is reachable as a symbolic
// link named like the port ("COM7") in the port directory. A handle of the data path's loop
// while open: every member but PortDirectory runs on the loop's thread (another thread posts
// to the loop), and the port does its work there without a thread of its own.
class VirtualSerialPort {
public:
    VirtualSerialPort();
    ~VirtualSerialPort();
    VirtualSerialPort(const VirtualSerialPort&) = delete;
    VirtualSerialPort& operator=(const VirtualSerialPort&) = delete;

    // Creates the port under the name, with every descriptor it needs, watched by the
    // monitor's loop. False (OpenFailure says why) when it cannot be made or another live port
    // of this program serves the name.
    bool Open(const std::string& name, PtyMonitor& monitor);
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

    // Called on the loop when input comes while none was waiting (a pump that sleeps until its
    // port has input), and when a Write that came short has room again (a sender held back).
    // Kept across Close and Open; each may call into the port.
    void WhenInput(std::function<void()> handler);
    void WhenRoom(std::function<void()> handler);
    // When the loop last took bytes the application wrote in (the framing gap counts from it).
    Clock::time_point LastInputTime() const;
    // The link path while open ("" otherwise), for showing users what to open.
    std::string DevicePath() const;
    // Why the last Open failed, naming the directory or file and the system's reason; no
    // failure after one that succeeded.
    Reason OpenFailure() const;

    // The settings and modem lines the application holding the port set through the serial
    // compatibility library; empty while nobody holds the port or the library is not in use.
    std::optional<LineState> LineSettings() const;

    // A network client in the application's place (null: the pseudo-terminal again). While
    // one is set, the port's bytes go to it and what it sends is read, it counts as a holder,
    // and its line settings are the port's; the pseudo-terminal is closed to others (mode 000:
    // an application's open fails with "Permission denied"), and what reaches it all the same
    // (root ignores the mode) is dropped both ways.
    void SetRemoteUser(RemoteUser* user);
    RemoteUser* Remote() const;
    // The remote user has input while none was waiting, or room again after a short Write.
    void RemoteInput();
    void RemoteRoom();

    // Where the links of all ports are made: $XDG_RUNTIME_DIR/MV5840VSP, or
    // /tmp/MV5840VSP-<uid> when XDG_RUNTIME_DIR is unset.
    static std::string PortDirectory();

private:
    Reason Make(const std::string& name, PtyMonitor& monitor);

    struct Impl;
    Impl* impl_;
};
