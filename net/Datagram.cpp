#include "net/Datagram.h"

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A small datagram takes about a kilobyte of it; the kernel caps it at net.core.rmem_max unless
// the process may override that. Only what is queued uses memory.
constexpr int ReceiveQueueBytes = 32 * 1024 * 1024;

constexpr int SendBatch = 32;  // datagrams given to the kernel in one call

}  // namespace

int SendDatagrams(int fd, const OutgoingDatagram* datagrams, int count)
{
    int sent = 0;
    for (int k = 0; k < count;) {
        mmsghdr messages[SendBatch] = {};
        iovec pieces[SendBatch];
        SocketAddress destinations[SendBatch];
        int n = 0;
        for (; k < count && n < SendBatch; ++k) {
            const OutgoingDatagram& d = datagrams[k];
            if (!d.destination.IsPeer() || d.length < 0)
                continue;
            destinations[n] = d.destination;
            pieces[n] = {const_cast<uint8_t*>(d.data), static_cast<size_t>(d.length)};
            messages[n].msg_hdr.msg_name = destinations[n].Raw();
            messages[n].msg_hdr.msg_namelen = SocketAddress::Length;
            messages[n].msg_hdr.msg_iov = &pieces[n];
            messages[n].msg_hdr.msg_iovlen = 1;
            ++n;
        }
        // sendmmsg stops before the first datagram that fails and the next call reports its
        // error: that one is skipped, the rest go on.
        for (int from = 0; from < n;) {
            const int done = sendmmsg(fd, messages + from, static_cast<unsigned>(n - from), MSG_NOSIGNAL);
            if (done > 0) {
                sent += done;
                from += done;
            } else if (done < 0 && errno == EINTR) {
                continue;
            } else if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;  // the send queue is full: the rest of these would fail too
            } else {
                ++from;
            }
        }
    }
    return sent;
}

bool FromSocketItself(const SocketAddress& local, const SocketAddress& source, LocalAddresses& ownAddresses,
                      const Clock& clock)
{
    if (source.sin_port != local.sin_port)
        return false;
    if (local.sin_addr.s_addr != htonl(INADDR_ANY))
        return source.sin_addr.s_addr == local.sin_addr.s_addr;
    return ownAddresses.Has(source.sin_addr.s_addr, clock.Now());
}

void EnlargeReceiveQueue(int fd)
{
    int size = ReceiveQueueBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}
