#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

#include "net/EventLoop.h"
#include "net/SocketAddress.h"

// The TCP connection of one port to its DTU, as a handle of the loop. Connects without
// blocking and reconnects after every close until Disconnect: failed attempts start at least
// RetrySpacing apart (a refused connect fails at once here, and retrying at once would only
// spin), and a connection that ends sooner than RetrySpacing after it was established (a DTU
// that accepts and hangs up) counts as a failed attempt too.
//
// Received bytes go to the owner in chunks of up to BufferSize. While the owner cannot take a
// chunk, the socket is not read, so TCP holds the DTU back instead of bytes being dropped
// here; the owner says when it can take more (Resume). Bytes towards the DTU go out at once
// as far as the kernel takes them; the rest waits in the connection's own queue, sent as soon
// as the socket is writable. Loop thread only; the owner may call anything but the destructor
// from inside a notification.
class TcpConnection {
public:
    static constexpr int BufferSize = 2000;
    static constexpr std::chrono::seconds RetrySpacing{1};
    // Bytes the write queue holds at most beyond what the kernel took.
    static constexpr size_t QueueLimit = 64 * 1024;

    // What the connection tells its owner, on the loop thread.
    class Owner {
    public:
        // An attempt to connect starts (also from inside Connect).
        virtual void OnAttempt() {}
        virtual void OnConnected() = 0;
        // Returns how many of the bytes were taken (length >= 1). The connection keeps the
        // rest and reads no more until Resume.
        virtual int OnData(const uint8_t* data, int length) = 0;
        // A connection that was up ended; the next attempt follows by itself.
        virtual void OnClosed() = 0;
        // An attempt failed with error (an errno: refused, timed out, unreachable).
        virtual void OnAttemptFailed(int error) { (void)error; }
        // Write refused a chunk for want of room, and the queue has room again.
        virtual void OnWritable() {}

    protected:
        ~Owner() = default;
    };

    TcpConnection(EventLoop& loop, Owner& owner);
    ~TcpConnection() { Disconnect(); }
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Starts connecting to the peer; reconnecting goes on by itself. The errno when the link
    // cannot even be made (no socket or descriptor for it; no attempt follows), else 0.
    int Connect(const SocketAddress& peer);
    // Closes the connection and ends the attempts; no notification follows.
    void Disconnect();

    // Queues all the bytes towards the DTU and returns length, or none and returns 0: not
    // connected, or the queue has no room for them (OnWritable follows once it has). more:
    // further bytes follow at once (the rest of a backlog); these then go to the socket
    // together with the next Write without it, or at the loop's next turn.
    int Write(const uint8_t* data, int length, bool more = false);
    // The owner can take bytes again: what was kept is offered at the loop's next look at its
    // timers, then reading goes on.
    void Resume();

    bool IsConnected() const { return up_; }
    const SocketAddress& Peer() const { return peer_; }
    // Bytes waiting in the write queue.
    size_t Queued() const { return queue_.size() - queueHead_; }

private:
    // 0, or the errno when no socket could be made.
    int StartAttempt();
    // The attempt timer: an attempt due, a failure to report, a broken connection to end.
    void OnAttemptTimer();
    void ReportFailure(int error);
    void OnResumeTimer();
    void OnEvents(uint32_t events);
    void OnConnectDone(int error);
    // Reads and offers until the owner stops taking, the socket is empty or the turn's share
    // is done.
    void ReadOn();
    // Offers the kept bytes; true when all were taken.
    bool OfferKept();
    // Sends what the queue holds as far as the socket takes it. Inside the owner's Write a
    // failure ends the connection only at the next turn, and the owner is not called.
    void Flush(bool insideWrite);
    // Sends what the socket takes now (blocked_ once it takes no more); the count sent, or -1
    // when the connection is gone.
    ssize_t SendNow(const uint8_t* data, size_t length);
    void UpdateEvents();
    // Closes the socket; the next attempt no sooner than the spacing allows.
    void EndConnection();
    void CloseSocket();

    EventLoop& loop_;
    Owner& owner_;
    EventLoop::Watch watch_;
    EventLoop::Timer attempt_;  // the next attempt, or a failure to report
    EventLoop::Timer resume_;   // kept bytes to offer, reading to go on
    SocketAddress peer_;
    bool wanted_ = false;  // between Connect and Disconnect
    int fd_ = -1;
    bool connecting_ = false;
    int failedAtOnce_ = 0;  // the errno of a connect that failed before it started
    bool up_ = false;
    bool paused_ = false;     // bytes kept or reading left for the next turn
    bool peerDone_ = false;   // hang-up or error seen while paused
    bool wantsRoom_ = false;  // a Write was refused for want of room
    bool blocked_ = false;    // the socket took no more: the queue waits for it to be writable
    bool broken_ = false;     // a send failed: the connection ends at the next turn
    // Counts the sockets; code after a notification goes on only while it is the same, since
    // the owner may have disconnected (and connected again) inside.
    uint64_t generation_ = 0;
    Clock::time_point attemptStart_;
    Clock::time_point upSince_;
    int keptOffset_ = 0;  // buffer_[keptOffset_, keptEnd_) not yet taken
    int keptEnd_ = 0;
    std::vector<uint8_t> queue_;  // queue_[queueHead_, end) not yet sent
    size_t queueHead_ = 0;
    uint8_t buffer_[BufferSize];
};
