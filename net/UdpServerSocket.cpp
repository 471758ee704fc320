#include "net/UdpServerSocket.h"

#include <cerrno>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

UdpServerSocket::UdpServerSocket(const char* localAddress) : EventSocket(Event::Infinite)
{
    localAddress_.Parse(localAddress);
}

UdpServerSocket::~UdpServerSocket()
{
    Stop();
}

void UdpServerSocket::Start()
{
    receiveStopEvent_.Reset();
    running_.store(true);
    receiveThread_.Start(&UdpServerSocket::ReceiveLoop, this);
}

void UdpServerSocket::Stop()
{
    running_.store(false);
    receiveStopEvent_.Set();
    receiveThread_.Wait(Event::Infinite);
    // The worker closes only after the receive thread has let go of the descriptor.
    EndWorker();
}

bool UdpServerSocket::SendTo(const SocketAddress& destination, const uint8_t* data, int length)
{
    std::shared_lock lock(closeLock_);
    int fd = Socket();
    if (!running_.load() || fd < 0 || length < 0 || !destination.IsPeer())
        return false;
    ssize_t sent;
    do {
        sent = sendto(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL, destination.Raw(),
                      SocketAddress::Length);
    } while (sent < 0 && errno == EINTR);
    return sent >= 0;
}

int UdpServerSocket::SendAll(const OutgoingDatagram* datagrams, int count)
{
    std::shared_lock lock(closeLock_);
    const int fd = Socket();
    if (!running_.load() || fd < 0)
        return 0;
    return SendDatagrams(fd, datagrams, count);
}

void UdpServerSocket::Close()
{
    {
        std::unique_lock lock(closeLock_);
        EventSocket::Close();
    }
    if (owner_)
        owner_->OnServerStateChanged();
    opened_.store(false);
}

uint32_t UdpServerSocket::ReceiveLoop(void* parameter)
{
    auto* server = static_cast<UdpServerSocket*>(parameter);
    // A batch thread does not preempt the task whose send woke it. That task usually has the
    // next datagram of a run in hand, so the run is taken in one wake-up instead of one each;
    // when every core is busy, a datagram waits at most for the scheduler's tick. Only a
    // hint: where it is refused, the thread runs as it is.
    const sched_param none{};
    sched_setscheduler(0, SCHED_BATCH, &none);
    for (;;) {
        if (server->OpenStep() && !server->ReceivePasses())
            return 0;
        if (server->receiveStopEvent_.Wait(RetryMs))
            return 0;
    }
}

bool UdpServerSocket::OpenStep()
{
    // The reading side needs no network events: this thread waits on the socket itself.
    if (!running_.load() || opened_.load() || !Open(SOCK_DGRAM, 0, localAddress_))
        return false;
    int fd = Socket();
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    EnlargeReceiveQueue(fd);
    if (owner_)
        owner_->OnServerStateChanged();
    opened_.store(true);
    return true;
}

bool UdpServerSocket::ReceivePasses()
{
    // Only this thread reads, and the worker closes the descriptor only after this thread
    // asked for it or ended, so it stays valid here.
    const int fd = Socket();
    for (;;) {
        // Take everything that is queued, several datagrams a call, and hand them over one at
        // a time in arrival order.
        while (running_.load()) {
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
            const int received = recvmmsg(fd, messages, Batch, MSG_DONTWAIT, nullptr);
            if (received < 0 && errno == EINTR)
                continue;
            if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (received < 0) {
                // The worker closes the socket and the open step makes a new one.
                EventSocket::Stop();
                return true;
            }
            ReceivedDatagram batch[Batch];
            int count = 0;
            for (int k = 0; k < received; ++k) {
                if (messages[k].msg_hdr.msg_flags & MSG_TRUNC) {
                    oversized_.fetch_add(1, std::memory_order_relaxed);
                    continue;  // cut short by the kernel: this one datagram is lost, no other
                }
                if (FromSocketItself(localAddress_, sources[k]))
                    continue;
                batch[count++] = {sources[k], buffers_[k], static_cast<int>(messages[k].msg_len)};
            }
            if (owner_ && count > 0 && running_.load())
                owner_->OnDatagrams(this, batch, count);
            if (received < Batch)
                break;  // the queue is empty: the poll below says when more come
        }
        pollfd fds[2] = {{receiveStopEvent_.Fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        int result = poll(fds, 2, -1);
        if (result < 0 && errno != EINTR) {
            EventSocket::Stop();
            return true;
        }
        if (fds[0].revents != 0 && receiveStopEvent_.Wait(0))
            return false;
    }
}
