#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "net/EventSocket.h"
#include "net/SocketAddress.h"
#include "net/SocketOwners.h"

// The TCP connection of one port to its DTU. Connects, keeps one read outstanding, hands
// each received chunk to the owner and reconnects after every close until Disconnect. Bytes
// towards the DTU go through the inherited Write.
class TcpClientLink : public EventSocket {
public:
    static constexpr int BufferSize = 2000;
    // Failed attempts start at least this far apart; a refused connect fails at once here,
    // and retrying at once would only spin.
    static constexpr uint32_t RetrySpacingMs = 1000;

    TcpClientLink();
    ~TcpClientLink() override;

    void SetOwner(TcpLinkOwner* owner) { owner_ = owner; }
    // Host is a dotted IPv4 address (no name lookup); the port is appended as ":%d".
    void Connect(const char* host, int port);
    // After it returns, no notification starts and no new connection is made.
    void Disconnect();

    const SocketAddress& PeerAddress() const { return peerAddress_; }

protected:
    void OnConnect(int error) override;
    void OnReadComplete(int error, int bytes) override;
    void Close() override;

private:
    // Caller holds reconnectLock_.
    void StartAttempt();

    TcpLinkOwner* owner_ = nullptr;
    SocketAddress peerAddress_;
    std::atomic<bool> autoReconnect_{true};
    // Orders a reconnect made by a closing worker against Disconnect.
    std::mutex reconnectLock_;
    uint32_t attemptStart_ = 0;  // tick of the current attempt, under reconnectLock_
    bool linkUp_ = false;        // worker only: this socket's connection was established
    uint8_t buffer_[BufferSize];
};
