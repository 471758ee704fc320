#include "net/TcpConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Chunks read at one readiness before the loop looks at its other work; the rest is still in
// the socket and makes it readable at the next turn.
constexpr int ChunksPerTurn = 16;

int PendingError(int fd)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0)
        return errno;
    return error;
}

}  // namespace

TcpConnection::TcpConnection(EventLoop& loop, Owner& owner)
    : loop_(loop), owner_(owner), watch_(loop, [this](uint32_t events) { OnEvents(events); }),
      attempt_(loop, [this] { OnAttemptTimer(); }), resume_(loop, [this] { OnResumeTimer(); })
{
}

int TcpConnection::Connect(const SocketAddress& peer)
{
    Disconnect();
    peer_ = peer;
    if (!peer_.IsPeer())
        return 0;  // no DTU to reach: the link stays down
    if (const int error = StartAttempt())
        return error;
    wanted_ = true;
    return 0;
}

void TcpConnection::Disconnect()
{
    wanted_ = false;
    attempt_.Cancel();
    resume_.Cancel();
    failedAtOnce_ = 0;
    CloseSocket();
}

int TcpConnection::StartAttempt()
{
    attemptStart_ = loop_.Now();
    owner_.OnAttempt();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    if (connect(fd, peer_.Raw(), SocketAddress::Length) != 0 && errno != EINPROGRESS && errno != EINTR) {
        // Failed before it started: said at the loop's next look at its timers, as any other
        // failure is said from the loop and not from inside the call that connects.
        failedAtOnce_ = errno;
        close(fd);
        attempt_.Soon();
        return 0;
    }
    if (const int error = watch_.Add(fd, EPOLLOUT)) {
        close(fd);
        return error;
    }
    fd_ = fd;
    ++generation_;
    connecting_ = true;
    return 0;
}

void TcpConnection::OnAttemptTimer()
{
    if (up_ && broken_) {
        EndConnection();
    } else if (failedAtOnce_ != 0) {
        const int error = failedAtOnce_;
        failedAtOnce_ = 0;
        ReportFailure(error);
    } else if (wanted_ && fd_ < 0) {
        if (const int error = StartAttempt())
            ReportFailure(error);
    }
}

void TcpConnection::ReportFailure(int error)
{
    const uint64_t generation = generation_;
    owner_.OnAttemptFailed(error);
    if (generation == generation_ && wanted_ && fd_ < 0 && failedAtOnce_ == 0)
        attempt_.At(std::max(loop_.Now(), attemptStart_ + RetrySpacing));
}

void TcpConnection::OnEvents(uint32_t events)
{
    if (connecting_) {
        OnConnectDone(PendingError(fd_));
        return;
    }
    const uint64_t generation = generation_;
    if (Queued() > 0 && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        Flush(false);
        if (generation != generation_)
            return;
    }
    if (!paused_ && (events & (EPOLLIN | EPOLLERR | EPOLLHUP)))
        ReadOn();
}

void TcpConnection::OnConnectDone(int error)
{
    connecting_ = false;
    if (error != 0) {
        // The next attempt goes on a fresh socket, no sooner than the spacing allows.
        CloseSocket();
        ReportFailure(error);
        return;
    }
    up_ = true;
    upSince_ = loop_.Now();
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    UpdateEvents();
    owner_.OnConnected();
}

void TcpConnection::ReadOn()
{
    const uint64_t generation = generation_;
    for (int chunk = 0; chunk < ChunksPerTurn; ++chunk) {
        const ssize_t received = recv(fd_, buffer_, BufferSize, MSG_DONTWAIT);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (received <= 0) {
            // While bytes are kept the socket is not read, so the peer's close is seen only
            // after the owner took every byte that came before it.
            EndConnection();
            return;
        }
        keptOffset_ = 0;
        keptEnd_ = static_cast<int>(received);
        if (!OfferKept()) {
            if (generation == generation_) {
                paused_ = true;
                UpdateEvents();
            }
            return;
        }
        if (generation != generation_)
            return;
    }
}

bool TcpConnection::OfferKept()
{
    const uint64_t generation = generation_;
    const int left = keptEnd_ - keptOffset_;
    const int taken = std::clamp(owner_.OnData(buffer_ + keptOffset_, left), 0, left);
    if (generation != generation_)
        return false;
    keptOffset_ += taken;
    if (keptOffset_ < keptEnd_)
        return false;
    keptOffset_ = keptEnd_ = 0;
    return true;
}

void TcpConnection::Resume()
{
    if (up_ && paused_)
        resume_.Soon();
}

void TcpConnection::OnResumeTimer()
{
    if (!up_ || !paused_)
        return;
    if (keptOffset_ < keptEnd_ && !OfferKept())
        return;
    if (!up_)
        return;
    paused_ = false;
    UpdateEvents();
}

int TcpConnection::Write(const uint8_t* data, int length, bool more)
{
    if (!up_ || broken_ || data == nullptr || length <= 0)
        return 0;
    if (Queued() > 0 && Queued() + static_cast<size_t>(length) > QueueLimit) {
        wantsRoom_ = true;
        return 0;
    }
    if (Queued() > 0 || more) {
        queue_.insert(queue_.end(), data, data + length);
        if (!more && !blocked_)
            Flush(true);
        else
            UpdateEvents();  // held bytes go at the next turn, when the socket says writable
        return length;
    }
    const ssize_t sent = SendNow(data, static_cast<size_t>(length));
    if (sent < 0) {
        // The connection is gone, and these bytes with it: it ends at the next turn, not
        // inside the owner's call.
        broken_ = true;
        attempt_.Soon();
        return length;
    }
    if (sent < length) {
        queue_.insert(queue_.end(), data + sent, data + length);
        UpdateEvents();
    }
    return length;
}

ssize_t TcpConnection::SendNow(const uint8_t* data, size_t length)
{
    size_t sent = 0;
    while (sent < length) {
        const ssize_t n = send(fd_, data + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            blocked_ = true;
            break;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return static_cast<ssize_t>(sent);
}

void TcpConnection::Flush(bool insideWrite)
{
    blocked_ = false;
    const ssize_t sent = SendNow(queue_.data() + queueHead_, Queued());
    if (sent < 0) {
        if (insideWrite) {
            broken_ = true;
            attempt_.Soon();
        } else {
            EndConnection();
        }
        return;
    }
    queueHead_ += static_cast<size_t>(sent);
    if (Queued() == 0) {
        queue_.clear();
        queueHead_ = 0;
    } else if (queueHead_ > queue_.size() / 2) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(queueHead_));
        queueHead_ = 0;
    }
    UpdateEvents();
    if (!insideWrite && wantsRoom_ && Queued() <= QueueLimit / 2) {
        wantsRoom_ = false;
        owner_.OnWritable();
    }
}

void TcpConnection::UpdateEvents()
{
    if (fd_ < 0)
        return;
    const uint32_t events = (paused_ ? 0u : uint32_t{EPOLLIN}) | (Queued() > 0 ? uint32_t{EPOLLOUT} : 0u);
    if (events == watch_.Events() && watch_.Fd() == fd_)
        return;
    // Nothing to wait for: out of the epoll, where a hang-up would be reported level-triggered
    // even with no events asked for.
    if (events == 0)
        watch_.Remove();
    else if (watch_.Fd() == fd_)
        watch_.Modify(events);
    else
        watch_.Add(fd_, events);
}

void TcpConnection::EndConnection()
{
    const bool wasUp = up_;
    const bool lived = wasUp && loop_.Now() - upSince_ >= RetrySpacing;
    CloseSocket();
    const uint64_t generation = generation_;
    if (wasUp)
        owner_.OnClosed();
    if (generation != generation_ || !wanted_ || fd_ >= 0 || attempt_.Pending())
        return;
    // A connection that ended sooner than the spacing counts as a failed attempt.
    attempt_.At(lived ? loop_.Now() : attemptStart_ + RetrySpacing);
}

void TcpConnection::CloseSocket()
{
    if (fd_ >= 0) {
        watch_.Remove();
        close(fd_);
        fd_ = -1;
        ++generation_;
    }
    connecting_ = false;
    up_ = false;
    paused_ = false;
    broken_ = false;
    wantsRoom_ = false;
    blocked_ = false;
    keptOffset_ = keptEnd_ = 0;
    queue_.clear();
    queueHead_ = 0;
}
