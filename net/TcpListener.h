#pragma once

#include <cstdint>

#include "net/EventLoop.h"
#include "net/SocketAddress.h"

// A listening TCP socket as a handle of the loop: each connection that comes is accepted
// (non-blocking, close-on-exec) and handed to the owner, who takes its descriptor. When the
// process runs out of descriptors, accepting pauses for a second rather than spinning on a
// connection that stays queued. Loop thread only; the owner may close the listener (not
// destroy it) from inside OnAccepted.
class TcpListener {
public:
    class Owner {
    public:
        // fd is the owner's from now on.
        virtual void OnAccepted(int fd, const SocketAddress& peer) = 0;

    protected:
        ~Owner() = default;
    };

    TcpListener(EventLoop& loop, Owner& owner);
    ~TcpListener() { Close(); }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Binds local (the address reused at once after an earlier run) and listens. 0, or the
    // errno: the address is taken (EADDRINUSE), not this machine's (EADDRNOTAVAIL), a port
    // below 1024 without the right (EACCES).
    int Listen(const SocketAddress& local);
    void Close();
    bool IsListening() const { return fd_ >= 0; }
    const SocketAddress& Local() const { return local_; }

private:
    void OnReadable();

    EventLoop& loop_;
    Owner& owner_;
    EventLoop::Watch watch_;
    EventLoop::Timer pause_;  // accepting again after running out of descriptors
    SocketAddress local_;
    int fd_ = -1;
};
