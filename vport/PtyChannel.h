#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <termios.h>

#include "net/Clock.h"
#include "net/EventLoop.h"
#include "vport/ByteQueue.h"

// One pseudo-terminal as a serial line: the master end with the byte queues of both
// directions and the knowledge whether an application holds the slave open.
//
// The master reports a hang-up (POLLHUP, read gives EIO) while no process holds the slave
// open. That hang-up is level-triggered, so the master is watched (epoll) only while the
// slave is held; the PtyMonitor learns of opens and closes of the slave node through
// inotify, and the channel then checks the hang-up itself. The channel never keeps a slave
// descriptor: one of its own would hide every other holder. It opens the slave only for a
// moment after the last holder closed, to empty what that holder left unread.
//
// The channel is a handle of the data path's loop: its master is watched by that loop, and
// every member runs on the loop's thread only.
class PtyChannel {
public:
    // What the component keeps on top of the kernel's own buffers, per direction.
    static constexpr size_t InputLimit = 1 << 20;
    static constexpr size_t OutputLimit = 1 << 20;

    // A new pseudo-terminal in raw mode whose slave has been opened and closed once, so the
    // master starts hung up; only the owner may open the slave (mode 0600). Its master is
    // watched by loop once Attach runs. Null, with error set to the errno, when the system has
    // no pseudo-terminal (or no descriptor) to give.
    static std::shared_ptr<PtyChannel> Create(EventLoop& loop, int* error);
    ~PtyChannel();
    PtyChannel(const PtyChannel&) = delete;
    PtyChannel& operator=(const PtyChannel&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    // What the port's link points at: /proc/<our pid>/fd/<n>, where n is a path-only
    // descriptor of the slave. Opening it opens the slave; it is gone as soon as this process
    // is, so a link left by a killed run never reaches the terminal that reuses the slave's
    // number. A path-only descriptor is no open of the terminal and hides no holder.
    const std::string& LinkTarget() const { return linkTarget_; }

    // Bytes towards the application. Discarded (and counted as taken) while nobody holds
    // the slave; otherwise what the terminal does not take at once is queued up to
    // OutputLimit. The count taken.
    int Write(const uint8_t* data, int count);
    // Up to max of the bytes the application wrote, oldest first. Never blocks.
    int Read(uint8_t* buffer, int max);
    // Exactly what Read would give now with an unlimited maximum. Neither reads the master:
    // the loop takes the input in as soon as it is readable (read until EAGAIN, since the
    // kernel's own count is only a lower bound), so a pump pass costs no system call here.
    int Pending() const { return static_cast<int>(input_.Size()); }
    // When the loop last took input of the application in, on the loop's clock.
    Clock::time_point LastInputTime() const { return lastInput_; }
    bool InUse();

    // Called on the loop when input comes while none was waiting, and when a Write that fell
    // short has room again (half the queue free, or the holder closed and bytes are dropped
    // again). Each runs after the channel's own work, and may call into the channel.
    void WhenInput(std::function<void()> handler) { onInput_ = std::move(handler); }
    void WhenRoom(std::function<void()> handler) { onRoom_ = std::move(handler); }

    // Starts watching (the slave node is already watched by the monitor) and takes the
    // current state from the master.
    void Attach();
    // The slave node was opened or closed by someone (inotify mask; IN_Q_OVERFLOW when
    // events were lost).
    void OnSlaveEvent(uint32_t mask);
    // The master is readable, writable or hung up (epoll events).
    void OnMasterEvent(uint32_t events);
    // Ends the pseudo-terminal; afterwards every call is a harmless no-op.
    void Close();

private:
    PtyChannel(EventLoop& loop, int master, int slavePathFd, std::string slavePath, const termios& raw);

    bool HungUp() const;
    bool Held();
    void Reconcile();
    // untilEmpty: read until the master says EAGAIN, not only until a short read.
    void Drain(bool untilEmpty);
    void FlushOutput();
    void UpdateWatch();
    void ResetTerminal();
    // Runs the handlers for what the work just done brought about.
    void Notify(bool inputCame);

    EventLoop& loop_;
    EventLoop::Watch watch_;
    int master_;
    int slavePathFd_;  // O_PATH, kept while the master lives
    const std::string slavePath_;
    const std::string linkTarget_;
    const termios raw_;
    std::function<void()> onInput_;
    std::function<void()> onRoom_;
    ByteQueue input_;  // from the application, not yet read
    Clock::time_point lastInput_;
    ByteQueue output_;  // towards the application, not yet taken by the terminal
    bool attached_ = false;
    bool refused_ = false;  // a Write fell short and its room has not yet been announced
    bool held_ = false;     // a holder was seen and its last close not yet handled
    bool touched_ = false;  // the slave was opened since the last close was handled
    int ownOpens_ = 0;      // opens of our own whose inotify event is still to come
};
