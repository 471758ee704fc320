#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "net/EventSocket.h"
#include "net/SocketAddress.h"
#include "net/SocketOwners.h"

// The TCP connection of one port to its DTU. Connects, keeps one read outstanding, hands
// each received chunk to the owner and reconnects after every close until Disconnect. Bytes
// towards the DTU go through the inherited Write. While the owner cannot take a chunk, the
// socket is not read: the DTU is held back by TCP instead of bytes being dropped here.
class TcpClientLink : public EventSocket {
public:
    static constexpr int BufferSize = 2000;
    // Failed attempts start at least this far apart; a refused connect fails at once here,
    // and retrying at once would only spin.
    // A connection that ends sooner than this after it was established (a DTU that accepts
    // and hangs up) counts as a failed attempt too.
    static constexpr uint32_t RetrySpacingMs = 1000;
    // How often a chunk the owner could not take is offered again.
    static constexpr uint32_t OfferRetryMs = 10;

    TcpClientLink();
    ~TcpClientLink() override;

    void SetOwner(TcpLinkOwner* owner) { owner_ = owner; }
    // Host is a dotted IPv4 address (no name lookup); the port is appended as ":%d".
    // The errno when the link cannot even be made (no socket or descriptor for it; no attempt
    // follows), else 0: connecting and reconnecting go on by themselves.
    int Connect(const char* host, int port);
    // After it returns, no notification starts or is still in progress, and no new connection
    // is made. May be called from inside a notification.
    void Disconnect();

    const SocketAddress& PeerAddress() const { return peerAddress_; }

protected:
    void OnConnect(int error) override;
    void OnReadComplete(int error, int bytes) override;
    void OnClose(int error) override;
    void OnTimeout() override;
    void OnWriteComplete(int error, int bytes) override;
    void Close() override;

private:
    // Caller holds reconnectLock_.
    int StartAttempt();
    // Worker: waits until RetrySpacingMs after the current attempt started (Disconnect cuts
    // the wait short).
    void WaitOutSpacing();
    // Worker: ends this connection; one that lived too short counts as a failed attempt.
    void EndConnection();
    void ReportClosed();
    // Worker: hands the kept bytes to the owner; then reads on once all were taken.
    void OfferHeld();

    TcpLinkOwner* owner_ = nullptr;
    SocketAddress peerAddress_;
    std::atomic<bool> autoReconnect_{true};
    // Orders a reconnect made by a closing worker against Disconnect.
    std::mutex reconnectLock_;
    // Held by the worker from its look at autoReconnect_ to the end of a notification, so
    // Disconnect can wait for one that started before it; recursive, as the owner may
    // disconnect from inside a notification.
    std::recursive_mutex notifyLock_;
    uint32_t attemptStart_ = 0;  // tick of the current attempt, under reconnectLock_
    bool linkUp_ = false;        // worker only: this socket's connection was established
    uint32_t upSince_ = 0;       // worker only: tick at which it was established
    int heldOffset_ = 0;         // worker only: buffer_[heldOffset_, heldEnd_) not yet taken
    int heldEnd_ = 0;
    uint8_t buffer_[BufferSize];
};
