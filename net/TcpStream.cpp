#include "net/TcpStream.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Reads at one readiness before the loop looks at its other work.
constexpr int ReadsPerTurn = 16;

}  // namespace

TcpStream::TcpStream(EventLoop& loop, Owner& owner, int fd, const SocketAddress& peer)
    : loop_(loop), owner_(owner), watch_(loop, [this](uint32_t events) { OnEvents(events); }),
      end_(loop, [this] { End(failure_); }), peer_(peer), fd_(fd)
{
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (const int error = watch_.Add(fd_, EPOLLIN | EPOLLRDHUP)) {
        failure_ = error;
        end_.Soon();
    }
}

TcpStream::~TcpStream()
{
    watch_.Remove();
    close(fd_);
}

void TcpStream::Send(const uint8_t* data, size_t size)
{
    if (ended_ || size == 0)
        return;
    if (Queued() == 0) {
        size_t sent = 0;
        while (sent < size) {
            const ssize_t n = send(fd_, data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n >= 0) {
                sent += static_cast<size_t>(n);
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            } else if (errno != EINTR) {
                failure_ = errno;
                ended_ = true;
                end_.Soon();
                return;
            }
        }
        data += sent;
        size -= sent;
    }
    if (size > 0) {
        queue_.insert(queue_.end(), data, data + size);
        UpdateEvents();
    }
}

void TcpStream::PauseReading(bool paused)
{
    if (paused_ == paused)
        return;
    paused_ = paused;
    UpdateEvents();
}

void TcpStream::OnEvents(uint32_t events)
{
    if (ended_)
        return;
    if (events & EPOLLOUT) {
        const size_t before = Queued();
        if (!Flush()) {
            End(failure_);
            return;
        }
        if (Queued() < before) {
            owner_.OnSent();
            if (ended_)
                return;
        }
    }
    if (events & EPOLLERR) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
        End(error != 0 ? error : ECONNRESET);
        return;
    }
    if (paused_ && (events & EPOLLHUP)) {
        End(0);  // both ways shut: reported whatever is watched, so it would come again and again
        return;
    }
    if (paused_ || !(events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)))
        return;
    // One buffer for every stream of the thread: the owner takes the bytes before the next read.
    thread_local uint8_t buffer[ReadSize];
    for (int i = 0; i < ReadsPerTurn && !paused_; ++i) {
        const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            owner_.OnReceived(buffer, static_cast<size_t>(n));
            if (ended_)
                return;
            if (static_cast<size_t>(n) < sizeof buffer)
                return;  // empty for now: the watch says when more comes
        } else if (n == 0) {
            End(0);
            return;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else if (errno != EINTR) {
            End(errno);
            return;
        }
    }
}

bool TcpStream::Flush()
{
    while (Queued() > 0) {
        const ssize_t n = send(fd_, queue_.data() + queueHead_, Queued(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            queueHead_ += static_cast<size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            failure_ = errno;
            return false;
        }
    }
    if (Queued() == 0) {
        queue_.clear();
        queue_.shrink_to_fit();  // an idle client holds no buffer
        queueHead_ = 0;
    } else if (queueHead_ > queue_.size() / 2) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(queueHead_));
        queueHead_ = 0;
    }
    UpdateEvents();
    return true;
}

void TcpStream::UpdateEvents()
{
    if (ended_)
        return;
    const uint32_t wanted = (paused_ ? 0u : EPOLLIN | EPOLLRDHUP) | (Queued() > 0 ? EPOLLOUT : 0u);
    if (wanted != watch_.Events())
        watch_.Modify(wanted);
}

void TcpStream::End(int error)
{
    ended_ = true;
    end_.Cancel();
    watch_.Remove();
    owner_.OnEnded(error);  // may destroy this
}
