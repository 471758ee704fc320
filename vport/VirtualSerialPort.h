#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <termios.h>

#include "net/Clock.h"
#include "net/EventLoop.h"
#include "net/Reason.h"
#include "vport/ByteQueue.h"
#include "vport/LineState.h"

class PortLink;
class PtyMonitor;
class RemoteUser;

// One virtual serial port: a pseudo-terminal whose slave is reachable as a symbolic link named
// like the port ("COM7") in the port directory, with the byte queues of both directions and
// the knowledge whether an application holds the slave open.
//
// The master reports a hang-up (POLLHUP, read gives EIO) while no process holds the slave
// open. That hang-up is level-triggered, so the master is watched (epoll) only while the
// slave is held; the PtyMonitor learns of opens and closes of the slave node through
// inotify, and the port then checks the hang-up itself. The port never keeps a slave
// descriptor: one of its own would hide every other holder. It opens the slave only for a
// moment after the last holder closed, to empty what that holder left unread.
//
// A handle of the data path's loop: every member but PortDirectory runs on the loop's thread
// only (another thread posts to the loop), and the port does its work there without a thread
// or a lock of its own.
class VirtualSerialPort {
public:
    // What the port keeps on top of the kernel's own buffers, per direction.
    static constexpr size_t InputLimit = 1 << 20;
    static constexpr size_t OutputLimit = 1 << 20;

    VirtualSerialPort();
    ~VirtualSerialPort();
    VirtualSerialPort(const VirtualSerialPort&) = delete;
    VirtualSerialPort& operator=(const VirtualSerialPort&) = delete;

    // Creates the port under the name: a new pseudo-terminal in raw mode that only the owner
    // may open (mode 0600), watched by the monitor's loop, and its link. False (OpenFailure
    // says why) when it cannot be made or another live port of the monitor serves the name.
    bool Open(const std::string& name, PtyMonitor& monitor);
    // Removes the link (while it still points at this port) and the pseudo-terminal; an
    // application still holding it sees a hang-up. Afterwards every call but Open is a
    // harmless no-op. Always true.
    bool Close();
    // Bytes towards the application, in order; the count accepted. While no
    // application holds the port the bytes are dropped and still counted, as a serial line
    // takes bytes nobody listens to; while one does, what the terminal cannot take at once
    // is queued (up to OutputLimit), and only beyond that is the count short.
    int Write(const uint8_t* data, int count);
    // Up to max bytes the application wrote, oldest first; never blocks.
    int Read(uint8_t* buffer, int max);
    // An application holds the port open.
    bool InUse() const;
    // Exactly how many bytes Read would return now. Neither reads the master: the loop takes
    // the input in as soon as it is readable (read until EAGAIN, since the kernel's own count
    // is only a lower bound), so a pump pass costs no system call here.
    int Pending() const;

    // Called on the loop when input comes while none was waiting (a pump that sleeps until its
    // port has input), and when a Write that came short has room again (half the queue free,
    // or the holder closed and bytes are dropped again: a sender held back). Kept across Close
    // and Open; each runs after the port's own work and may call into the port.
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

    // For the monitor only: the slave node it watches; the slave node was opened or closed by
    // someone (inotify mask; IN_Q_OVERFLOW when events were lost).
    const std::string& SlavePath() const { return slavePath_; }
    void OnSlaveEvent(uint32_t mask);
    // Starts watching the master (the slave node is already watched by the monitor) and takes
    // the current state from it.
    void Attach();

    // Where the links of all ports are made: $XDG_RUNTIME_DIR/MV5840VSP, or
    // /tmp/MV5840VSP-<uid> when XDG_RUNTIME_DIR is unset.
    static std::string PortDirectory();

private:
    Reason Make(const std::string& name, PtyMonitor& monitor);
    // The pseudo-terminal's part of Make: 0 or the errno.
    int MakeTerminal(PtyMonitor& monitor);
    void CloseTerminal();

    // The master is readable, writable or hung up (epoll events).
    void OnMasterEvent(uint32_t events);
    bool HungUp() const;
    bool Held() const;
    void Reconcile();
    // untilEmpty: read until the master says EAGAIN, not only until a short read.
    void Drain(bool untilEmpty);
    void FlushOutput();
    void UpdateWatch() const;
    void ResetTerminal();
    // Runs the handlers for what the work just done brought about.
    void Notify(bool inputCame);
    // What an application wrote while a remote user has the port goes nowhere.
    void DropLocalInput();

    PtyMonitor* monitor_ = nullptr;            // set while open
    std::unique_ptr<EventLoop::Watch> watch_;  // of the master, on the monitor's loop
    int master_ = -1;
    int slavePathFd_ = -1;  // O_PATH, kept while the master lives; the link's target
    std::string slavePath_;
    termios raw_{};
    std::string name_;
    std::string path_;
    std::unique_ptr<PortLink> link_;
    Reason openFailure_;
    RemoteUser* remote_ = nullptr;
    std::function<void()> onInput_;
    std::function<void()> onRoom_;
    ByteQueue input_;  // from the application, not yet read
    Clock::time_point lastInput_;
    ByteQueue output_;  // towards the application, not yet taken by the terminal
    bool attached_ = false;
    bool refused_ = false;  // a Write fell short and its room has not yet been announced
    // A holder was seen and its last close not yet handled; InUse may see the holder first.
    mutable bool held_ = false;
    bool touched_ = false;  // the slave was opened since the last close was handled
    int ownOpens_ = 0;      // opens of our own whose inotify event is still to come
};
