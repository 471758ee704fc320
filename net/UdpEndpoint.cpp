#include "net/UdpEndpoint.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Calls of Batch datagrams taken at one readiness before the loop looks at its other work; the
// rest is still queued and makes the socket readable at the next turn.
constexpr int CallsPerTurn = 8;

}  // namespace

UdpEndpoint::UdpEndpoint(EventLoop& loop, const SocketAddress& local, Owner& owner)
    : loop_(loop), local_(local), owner_(owner), watch_(loop, [this](uint32_t) { OnReadable(); }),
      retry_(loop, [this] { Open(); })
{
}

int UdpEndpoint::Start()
{
    running_ = true;
    return Open();
}

void UdpEndpoint::Stop()
{
    running_ = false;
    retry_.Cancel();
    Close();
}

int UdpEndpoint::Open()
{
    if (!running_ || fd_ >= 0)
        return 0;
    int error = 0;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
    } else {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        EnlargeReceiveQueue(fd);
        if (bind(fd, local_.Raw(), SocketAddress::Length) != 0)
            error = errno;
        else
            error = watch_.Add(fd, EPOLLIN);
    }
    if (error != 0) {
        if (fd >= 0)
            close(fd);
        retry_.At(loop_.Now() + RetryPeriod);
        return error;
    }
    fd_ = fd;
    owner_.OnOpenChanged(true);
    return 0;
}

void UdpEndpoint::Close()
{
    if (fd_ < 0)
        return;
    watch_.Remove();
    close(fd_);
    fd_ = -1;
    owner_.OnOpenChanged(false);
}

bool UdpEndpoint::SendTo(const SocketAddress& destination, const uint8_t* data, int length)
{
    if (fd_ < 0 || length < 0 || !destination.IsPeer())
        return false;
    ssize_t sent;
    do {
        sent = sendto(fd_, data, static_cast<size_t>(length), MSG_NOSIGNAL, destination.Raw(), SocketAddress::Length);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0;
}

int UdpEndpoint::SendAll(const OutgoingDatagram* datagrams, int count)
{
    return fd_ < 0 ? 0 : SendDatagrams(fd_, datagrams, count);
}

void UdpEndpoint::OnReadable()
{
    for (int call = 0; call < CallsPerTurn && fd_ >= 0 && running_; ++call) {
        mmsghdr messages[Batch] = {};
        iovec pieces[Batch];
        SocketAddress sources[Batch];
        for (int k = 0; k < Batch; ++k) {
            pieces[k] = {buffers_[k], BufferSize};
            messages[k].msg_hdr.msg_name = sources[k].Raw();
            messages[k].msg_hdr.msg_namelen = SocketAddress::Length;
            messages[k].msg_hdr.msg_iov = &pieces[k];
            messages[k].msg_hdr.msg_iovlen = 1;
        }
        // MSG_TRUNC: a datagram longer than its buffer reports its whole length.
        const int received = recvmmsg(fd_, messages, Batch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
        if (received < 0 && errno == EINTR)
            continue;
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (received < 0) {
            // A new socket after the retry period: this one may be broken for good.
            Close();
            retry_.At(loop_.Now() + RetryPeriod);
            return;
        }
        ReceivedDatagram batch[Batch];
        int count = 0;
        for (int k = 0; k < received; ++k) {
            if (FromSocketItself(local_, sources[k], ownAddresses_, loop_.Time()))
                continue;
            if (messages[k].msg_hdr.msg_flags & MSG_TRUNC) {
                // Cut short by the kernel: this one datagram is lost, no other. What came
                // before it goes first, so its owner hears of everything in arrival order.
                ++oversized_;
                if (count > 0)
                    owner_.OnDatagrams(batch, count);
                count = 0;
                owner_.OnOversized({sources[k], buffers_[k], BufferSize}, messages[k].msg_len);
                continue;
            }
            batch[count++] = {sources[k], buffers_[k], static_cast<int>(messages[k].msg_len)};
        }
        if (count > 0)
            owner_.OnDatagrams(batch, count);
        if (received < Batch)
            return;  // the queue is empty
    }
}
