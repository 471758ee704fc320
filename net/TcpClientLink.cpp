#include "net/TcpClientLink.h"

#include <algorithm>
#include <cerrno>
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

int TcpClientLink::Connect(const char* host, int port)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s:%d", host, port);
    peerAddress_.Parse(text);
    if (!peerAddress_.IsPeer())
        return 0;  // no DTU to reach: the link stays down
    std::lock_guard lock(reconnectLock_);
    if (const int error = StartAttempt())
        return error;
    autoReconnect_.store(true);
    return 0;
}

void TcpClientLink::Disconnect()
{
    {
        std::lock_guard lock(reconnectLock_);
        autoReconnect_.store(false);
    }
    // A notification that saw the link still wanted ends before this returns.
    { std::lock_guard notifying(notifyLock_); }
    EventSocket::Stop();
}

int TcpClientLink::StartAttempt()
{
    attemptStart_ = GetTickCount32();
    errno = 0;
    if (!Open(SOCK_STREAM, LinkEvents, SocketAddress()))
        return errno != 0 ? errno : EIO;
    EventSocket::Connect(peerAddress_);
    return 0;
}

void TcpClientLink::WaitOutSpacing()
{
    uint32_t started;
    {
        std::lock_guard lock(reconnectLock_);
        started = attemptStart_;
    }
    const uint32_t elapsed = GetTickCount32() - started;
    if (elapsed < RetrySpacingMs)
        WaitForStop(RetrySpacingMs - elapsed);
}

void TcpClientLink::OnConnect(int error)
{
    if (error != 0) {
        if (owner_ && autoReconnect_.load())
            owner_->OnLinkAttemptFailed(error);
        // The attempt goes on a fresh socket: this one closes quietly and the close starts
        // the next attempt, no sooner than the spacing allows.
        WaitOutSpacing();
        Stop();
        return;
    }
    linkUp_ = true;
    upSince_ = GetTickCount32();
    heldOffset_ = heldEnd_ = 0;
    SetWaitTimeout(Event::Infinite);
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
    std::lock_guard notifying(notifyLock_);
    if (owner_ && autoReconnect_.load())
        owner_->OnLinkConnected();
}

void TcpClientLink::OnReadComplete(int error, int bytes)
{
    if (error != 0 || bytes <= 0) {
        EndConnection();
        return;
    }
    heldOffset_ = 0;
    heldEnd_ = bytes;
    OfferHeld();
}

void TcpClientLink::OfferHeld()
{
    std::unique_lock notifying(notifyLock_);
    if (owner_ && autoReconnect_.load())
        heldOffset_ += std::clamp(owner_->OnLinkData(buffer_ + heldOffset_, heldEnd_ - heldOffset_),
                                  0, heldEnd_ - heldOffset_);
    else
        heldOffset_ = heldEnd_;
    notifying.unlock();
    if (heldOffset_ < heldEnd_) {
        SetWaitTimeout(OfferRetryMs);
        return;
    }
    SetWaitTimeout(Event::Infinite);
    heldOffset_ = heldEnd_ = 0;
    if (!Read(buffer_, BufferSize))
        EndConnection();
}

void TcpClientLink::OnTimeout()
{
    if (heldOffset_ < heldEnd_)
        OfferHeld();
}

void TcpClientLink::OnWriteComplete(int, int)
{
    // Writes towards the DTU keep the worker from ever sleeping a whole OfferRetryMs: offer
    // the held bytes on each of them as well.
    if (heldOffset_ < heldEnd_)
        OfferHeld();
}

void TcpClientLink::OnClose(int)
{
    // While a chunk is held the socket is not read, so the peer's close can come before the
    // bytes it sent; the reads after the owner took the chunk reach them and then the end.
    if (heldOffset_ < heldEnd_)
        return;
    EndConnection();
}

void TcpClientLink::EndConnection()
{
    if (linkUp_ && GetTickCount32() - upSince_ < RetrySpacingMs) {
        ReportClosed();
        WaitOutSpacing();
    }
    Stop();
}

void TcpClientLink::ReportClosed()
{
    // Only a connection that was up is reported closed; failed attempts stay silent.
    const bool wasUp = linkUp_;
    linkUp_ = false;
    std::lock_guard notifying(notifyLock_);
    if (wasUp && owner_ && autoReconnect_.load())
        owner_->OnLinkClosed();
}

void TcpClientLink::Close()
{
    EventSocket::Close();
    ReportClosed();
    heldOffset_ = heldEnd_ = 0;
    std::lock_guard lock(reconnectLock_);
    if (autoReconnect_.load())
        StartAttempt();  // starts the next worker; this one ends
}
