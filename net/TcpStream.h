#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/EventLoop.h"
#include "net/SocketAddress.h"

// One accepted TCP connection as a handle of the loop: what comes is handed to the owner as
// it is read, what the owner sends goes out at once as far as the kernel takes it and the rest
// waits in the stream's queue until the socket is writable. The owner bounds that queue itself
// (Queued) and hears when it shrank. Loop thread only.
class TcpStream {
public:
    // The most one read takes: a streaming client's bytes in few system calls.
    static constexpr size_t ReadSize = 64 * 1024;

    class Owner {
    public:
        virtual void OnReceived(const uint8_t* data, size_t size) = 0;
        // Some of the queue went out at the socket's readiness.
        virtual void OnSent() {}
        // The peer closed (error 0) or the connection failed (an errno); nothing follows. The
        // owner may destroy the stream from inside.
        virtual void OnEnded(int error) = 0;

    protected:
        ~Owner() = default;
    };

    // fd: a connected, non-blocking socket, the stream's from now on.
    TcpStream(EventLoop& loop, Owner& owner, int fd, const SocketAddress& peer);
    ~TcpStream();
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // A failure to send ends the stream at the loop's next look at its timers, never inside
    // this call.
    void Send(const uint8_t* data, size_t size);
    // Bytes waiting in the queue.
    size_t Queued() const { return queue_.size() - queueHead_; }
    // While paused nothing is read: TCP holds the peer back.
    void PauseReading(bool paused);
    const SocketAddress& Peer() const { return peer_; }

private:
    void OnEvents(uint32_t events);
    // What the socket takes now; false when the connection is gone.
    bool Flush();
    void UpdateEvents();
    void End(int error);

    EventLoop& loop_;
    Owner& owner_;
    EventLoop::Watch watch_;
    EventLoop::Timer end_;  // a failed send, said from the loop
    SocketAddress peer_;
    int fd_;
    int failure_ = 0;
    bool paused_ = false;
    bool ended_ = false;
    std::vector<uint8_t> queue_;  // queue_[queueHead_, end) not yet sent
    size_t queueHead_ = 0;
};
