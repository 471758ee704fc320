#include "link/TraceBuffer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

TraceBuffer::TraceBuffer(size_t capacity) : storage_(std::max(capacity, TraceRecordLayout::HeaderSize))
{
    wrapped_.reserve(std::min(storage_.size(), TraceRecordLayout::MaxRecord));
}

bool TraceBuffer::Push(const TraceEvent& event)
{
    const size_t size = TraceRecordSize(event);
    const size_t lostSize = lost_ > 0 ? TraceRecordLayout::HeaderSize : 0;
    if (!Fits(lostSize + size)) {
        if (lost_ == 0)
            firstLostUs_ = event.timeUs;
        ++lost_;
        ++lostTotal_;
        return false;
    }
    if (lost_ > 0)
        PutLost();
    Put(event, size);
    return true;
}

size_t TraceBuffer::FrontLength() const
{
    return std::min(used_, storage_.size() - head_);
}

void TraceBuffer::Consume(size_t count)
{
    count = std::min(count, FrontLength());
    head_ = (head_ + count) % storage_.size();
    used_ -= count;
    if (used_ == 0)
        head_ = 0;  // the next records are written in one piece
    if (lost_ > 0 && Fits(TraceRecordLayout::HeaderSize))
        PutLost();
}

int TraceBuffer::WriteTo(int fd)
{
    while (used_ > 0) {
        // On a socket a watcher that has gone is EPIPE, never a SIGPIPE that ends the program.
        ssize_t written = ::send(fd, Front(), FrontLength(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0 && errno == ENOTSOCK)
            written = ::write(fd, Front(), FrontLength());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
        }
        Consume(static_cast<size_t>(written));
    }
    return 0;
}

void TraceBuffer::Put(const TraceEvent& event, size_t size)
{
    const size_t tail = (head_ + used_) % storage_.size();
    if (tail + size <= storage_.size()) {
        EncodeTraceRecord(event, storage_.data() + tail);
    } else {
        wrapped_.resize(size);
        EncodeTraceRecord(event, wrapped_.data());
        const size_t first = storage_.size() - tail;
        std::memcpy(storage_.data() + tail, wrapped_.data(), first);
        std::memcpy(storage_.data(), wrapped_.data() + first, size - first);
    }
    used_ += size;
}

void TraceBuffer::PutLost()
{
    TraceEvent lost;
    lost.kind = TraceKind::RecordsLost;
    lost.timeUs = firstLostUs_;
    lost.count = lost_;
    lost_ = 0;
    Put(lost, TraceRecordLayout::HeaderSize);
}
