#include "net/TcpListener.h"

#include <cerrno>
#include <chrono>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Connections accepted at one readiness before the loop looks at its other work.
constexpr int AcceptsPerTurn = 16;

}  // namespace

TcpListener::TcpListener(EventLoop& loop, Owner& owner)
    : loop_(loop), owner_(owner), watch_(loop, [this](uint32_t) { OnReadable(); }),
      pause_(loop, [this] { watch_.Add(fd_, EPOLLIN); })
{
}

int TcpListener::Listen(const SocketAddress& local)
{
    Close();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, local.Raw(), SocketAddress::Length) != 0 || listen(fd, 8) != 0) {
        const int error = errno;
        close(fd);
        return error;
    }
    if (const int error = watch_.Add(fd, EPOLLIN)) {
        close(fd);
        return error;
    }
    fd_ = fd;
    local_ = local;
    return 0;
}

void TcpListener::Close()
{
    pause_.Cancel();
    watch_.Remove();
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

void TcpListener::OnReadable()
{
    for (int i = 0; i < AcceptsPerTurn && fd_ >= 0; ++i) {
        SocketAddress peer;
        socklen_t length = SocketAddress::Length;
        const int fd = accept4(fd_, peer.Raw(), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            const int listening = fd_;
            owner_.OnAccepted(fd, peer);
            if (fd_ != listening)
                return;  // closed (or destroyed) by the owner
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection stays queued and the socket readable: look again in a second.
            watch_.Remove();
            pause_.At(loop_.Now() + std::chrono::seconds(1));
        }
        return;
    }
}
