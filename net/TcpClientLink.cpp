#include "net/TcpClientLink.h"

#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include "net/TickCount.h"

namespace {

constexpr uint32_t LinkEvents = EventSocket::ReadEvent | EventSocket::ConnectEvent | EventSocket::CloseEvent;

}  // namespace

TcpClientLink::TcpClientLink() : EventSocket(Event::Infinite) {}

TcpClientLink::~TcpClientLink()
{
    Disconnect();
    EndWorker();
}

void TcpClientLink::Connect(const char* host, int port)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s:%d", host, port);
    peerAddress_.Parse(text);
    std::lock_guard lock(reconnectLock_);
    StartAttempt();
    autoReconnect_.store(true);
}

void TcpClientLink::Disconnect()
{
    {
        std::lock_guard lock(reconnectLock_);
        autoReconnect_.store(false);
    }
    EventSocket::Stop();
}

void TcpClientLink::StartAttempt()
{
    attemptStart_ = GetTickCount32();
    if (Open(SOCK_STREAM, LinkEvents, SocketAddress()))
        EventSocket::Connect(peerAddress_);
}

void TcpClientLink::OnConnect(int error)
{
    if (error != 0) {
        // The attempt goes on a fresh socket: this one closes quietly and the close starts
        // the next attempt, no sooner than the spacing allows. Disconnect cuts the wait short.
        uint32_t started;
        {
            std::lock_guard lock(reconnectLock_);
            started = attemptStart_;
        }
        uint32_t elapsed = GetTickCount32() - started;
        if (elapsed < RetrySpacingMs)
            WaitForStop(RetrySpacingMs - elapsed);
        Stop();
        return;
    }
    linkUp_ = true;
    if (!Read(buffer_, BufferSize)) {
        Stop();
        return;
    }
    int fd = Socket();
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size) == 0) {
        noDelay = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, size);
    }
    if (owner_ && autoReconnect_.load())
        owner_->OnLinkConnected();
}

void TcpClientLink::OnReadComplete(int error, int bytes)
{
    if (error == 0 && bytes > 0) {
        if (owner_ && autoReconnect_.load())
            owner_->OnLinkData(buffer_, bytes);
        if (Read(buffer_, BufferSize))
            return;
    }
    Stop();
}

void TcpClientLink::Close()
{
    EventSocket::Close();
    // Only a connection that was up is reported closed; failed attempts stay silent.
    const bool wasUp = linkUp_;
    linkUp_ = false;
    if (wasUp && owner_ && autoReconnect_.load())
        owner_->OnLinkClosed();
    std::lock_guard lock(reconnectLock_);
    if (autoReconnect_.load())
        StartAttempt();  // starts the next worker; this one ends
}
