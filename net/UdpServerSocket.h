#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>

#include "net/Datagram.h"
#include "net/Event.h"
#include "net/EventSocket.h"
#include "net/SocketAddress.h"
#include "net/SocketOwners.h"
#include "net/WorkerThread.h"

// The one UDP socket every DTU talks to. A receive thread opens it (retrying every 100 ms),
// hands over each datagram with its source address in arrival order, and reopens it after a
// receive failure; the base worker only closes it. Replies go out from the same socket.
// Datagrams longer than BufferSize, and datagrams this socket sent to itself, are dropped one
// by one; the socket stays.
class UdpServerSocket : public EventSocket {
public:
    static constexpr int BufferSize = 2000;
    static constexpr int Batch = 32;  // datagrams taken from the kernel in one call
    static constexpr uint32_t RetryMs = 100;

    explicit UdpServerSocket(const char* localAddress = "0.0.0.0:3700");
    ~UdpServerSocket() override;

    // Must be set before Start; called on the server's threads.
    void SetOwner(UdpServerOwner* owner) { owner_ = owner; }
    void Start();
    // When it returns, no thread of the server runs and no notification is made any more.
    void Stop();
    // False when the server is not running, the destination is no peer (any-address or port
    // 0) or the send fails. Any thread.
    virtual bool SendTo(const SocketAddress& destination, const uint8_t* data, int length);
    // Sends each datagram as SendTo would, in order, with as few system calls as the kernel
    // allows (up to Batch a call); one that cannot be sent is skipped. Returns the count sent.
    int SendAll(const OutgoingDatagram* datagrams, int count);

    bool IsRunning() const { return running_.load(); }
    bool IsOpened() const { return opened_.load(); }
    int LocalPort() const { return localAddress_.Port(); }
    // Datagrams dropped for being longer than BufferSize.
    uint64_t OversizedCount() const { return oversized_.load(); }

protected:
    void Close() override;

private:
    static uint32_t ReceiveLoop(void* parameter);
    bool OpenStep();
    // False when the receive thread is to end; true after a failure asked for a reopen.
    bool ReceivePasses();

    UdpServerOwner* owner_ = nullptr;
    SocketAddress localAddress_;
    Event receiveStopEvent_{false};
    WorkerThread receiveThread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> opened_{false};
    std::atomic<uint64_t> oversized_{0};
    // Senders hold it shared so the descriptor they use is not closed (and its number
    // reused) under them.
    std::shared_mutex closeLock_;
    uint8_t buffers_[Batch][BufferSize];
};
