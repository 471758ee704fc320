#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "net/Datagram.h"
#include "net/EventLoop.h"
#include "net/SocketAddress.h"

// The one UDP socket every DTU talks to, as a handle of the loop. It opens the socket (while
// it cannot bind, it tries again every RetryPeriod), takes what is queued when the socket is
// readable, several datagrams a system call, and hands them to its owner with their sources in
// arrival order; a receive failure closes the socket and the retries open a new one.
// Datagrams longer than BufferSize (counted) and datagrams this socket sent to itself are
// dropped one by one; the socket stays. Replies go out from the same socket.
// Loop thread only.
class UdpEndpoint {
public:
    static constexpr int BufferSize = 2000;
    static constexpr int Batch = 32;  // datagrams taken from the kernel in one call
    static constexpr std::chrono::milliseconds RetryPeriod{100};

    // What the endpoint tells its owner, on the loop thread.
    class Owner {
    public:
        // The datagrams one receive call took, in arrival order (count >= 1).
        virtual void OnDatagrams(const ReceivedDatagram* datagrams, int count) = 0;
        // The socket was opened, or closed (a receive failure, Stop).
        virtual void OnOpenChanged(bool open) = 0;
        // A datagram of length bytes was dropped for being longer than BufferSize; head holds
        // its source and first BufferSize bytes.
        virtual void OnOversized(const ReceivedDatagram& head, size_t length) { (void)head, (void)length; }

    protected:
        ~Owner() = default;
    };

    UdpEndpoint(EventLoop& loop, const SocketAddress& local, Owner& owner);
    ~UdpEndpoint() { Stop(); }
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // Opens the socket, and keeps trying while it cannot. The errno of the first attempt
    // (EADDRINUSE: another program holds the port), 0 when the socket is open.
    int Start();
    // Closes the socket (the owner is told) and ends the retries; nothing is handed over after.
    void Stop();

    // False when the socket is not open, the destination is no peer (any-address or port 0)
    // or the send fails.
    bool SendTo(const SocketAddress& destination, const uint8_t* data, int length);
    // Sends each datagram as SendTo would, in order, several a system call; one that cannot
    // be sent is skipped. Returns the count sent.
    int SendAll(const OutgoingDatagram* datagrams, int count);

    bool IsRunning() const { return running_; }
    bool IsOpen() const { return fd_ >= 0; }
    int LocalPort() const { return local_.Port(); }
    // Datagrams dropped for being longer than BufferSize.
    uint64_t OversizedCount() const { return oversized_; }

private:
    // 0, or the errno of the failed attempt (which then tries again after RetryPeriod).
    int Open();
    void Close();
    void OnReadable();

    EventLoop& loop_;
    const SocketAddress local_;
    Owner& owner_;
    EventLoop::Watch watch_;
    EventLoop::Timer retry_;
    int fd_ = -1;
    bool running_ = false;
    uint64_t oversized_ = 0;
    LocalAddresses ownAddresses_;
    uint8_t buffers_[Batch][BufferSize];
};
