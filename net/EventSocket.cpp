#include "net/EventSocket.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

int PendingError(int fd)
{
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0)
        return errno;
    return error;
}

bool WouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

constexpr uint32_t OneShotEvents =
    EventSocket::ReadEvent | EventSocket::WriteEvent | EventSocket::AcceptEvent | EventSocket::CloseEvent;

}  // namespace

EventSocket::EventSocket(uint32_t waitTimeoutMs) : waitTimeout_(waitTimeoutMs) {}

EventSocket::~EventSocket()
{
    Stop();
    thread_.Wait(Event::Infinite);
    if (socket_.load() >= 0) {
        Shutdown(SHUT_RDWR);
        CloseDescriptor();
    }
}

void EventSocket::EndWorker()
{
    Stop();
    thread_.Wait(Event::Infinite);
}

bool EventSocket::Open(int type, uint32_t eventMask, const SocketAddress& local)
{
    if (socket_.load() >= 0)
        return false;
    int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        socket_.store(fd);
        {
            std::lock_guard lock(requestLock_);
            stream_ = type == SOCK_STREAM;
        }
        if (SelectEvents(eventMask) && Bind(local) && StartThread())
            return true;
    }
    const int error = errno;  // for the caller, whatever the clean-up does to it
    Stop();
    CloseDescriptor();
    errno = error;
    return false;
}

bool EventSocket::SelectEvents(uint32_t eventMask)
{
    {
        std::lock_guard lock(requestLock_);
        eventMask_ = eventMask;
        armed_ = eventMask & OneShotEvents;
        quiet_ = false;
    }
    Wake();
    return socket_.load() >= 0;
}

void EventSocket::ReenableEvents(uint32_t eventMask)
{
    {
        std::lock_guard lock(requestLock_);
        armed_ |= eventMask & eventMask_ & OneShotEvents;
        quiet_ = false;
    }
    Wake();
}

bool EventSocket::Bind(const SocketAddress& local)
{
    int fd = socket_.load();
    return fd >= 0 && bind(fd, local.Raw(), SocketAddress::Length) == 0;
}

bool EventSocket::Connect(const SocketAddress& peer)
{
    int fd = socket_.load();
    if (fd < 0)
        return false;
    int result = connect(fd, peer.Raw(), SocketAddress::Length);
    // In progress (or interrupted, which goes on in the background): the outcome comes
    // from the socket. Anything else failed before it started and is reported as such.
    int error = (result == 0 || errno == EINPROGRESS || errno == EINTR) ? 0 : errno;
    {
        std::lock_guard lock(requestLock_);
        connectPending_ = true;
        connectError_ = error;
        connected_ = false;
        armed_ = eventMask_ & OneShotEvents;
        quiet_ = false;
    }
    Wake();
    return true;
}

bool EventSocket::StartThread()
{
    if (socket_.load() < 0)
        return false;
    // Events that could not be made (no descriptor left) fail the open like the socket would.
    for (const Event* event : {&stopEvent_, &wakeEvent_}) {
        if (!event->Valid()) {
            errno = event->Error();
            return false;
        }
    }
    stopEvent_.Reset();
    return thread_.Start(&EventSocket::Run, this);
}

void EventSocket::Stop()
{
    // Whatever the stopping thread did before (such as letting go of the descriptor) happens
    // before the worker's close; the eventfd alone carries no such ordering.
    stopCount_.fetch_add(1, std::memory_order_release);
    stopEvent_.Set();
}

bool EventSocket::Read(uint8_t* buffer, int length)
{
    if (buffer == nullptr || length <= 0)
        return false;
    {
        std::lock_guard lock(requestLock_);
        if (socket_.load() < 0 || readPending_)
            return false;
        readBuffer_ = buffer;
        readLength_ = length;
        readPending_ = true;
        quiet_ = false;
    }
    Wake();
    return true;
}

int EventSocket::Write(const uint8_t* data, int length)
{
    if (data == nullptr || length <= 0)
        return 0;
    {
        std::lock_guard lock(requestLock_);
        if (socket_.load() < 0 || !connected_ || writePending_)
            return 0;
        writeData_.assign(data, data + length);  // keeps its capacity: no allocation once grown
        writeDone_ = 0;
        writePending_ = true;
        quiet_ = false;
    }
    Wake();
    return length;
}

bool EventSocket::Shutdown(int how)
{
    int fd = socket_.load();
    return fd >= 0 && shutdown(fd, how) == 0;
}

void EventSocket::OnClose(int)
{
    Stop();
}

void EventSocket::OnAccept(int) {}
void EventSocket::OnRead(int) {}
void EventSocket::OnWrite(int) {}
void EventSocket::OnThreadStart() {}
void EventSocket::OnReadComplete(int, int) {}
void EventSocket::OnWriteComplete(int, int) {}
void EventSocket::OnTimeout() {}
void EventSocket::OnConnect(int) {}

void EventSocket::Close()
{
    if (socket_.load() < 0)
        return;
    SelectEvents(0);
    {
        // Outstanding requests end with the socket; nothing is delivered for them.
        std::lock_guard lock(requestLock_);
        armed_ = 0;
        connectPending_ = false;
        connectError_ = 0;
        connected_ = false;
        readPending_ = false;
        writePending_ = false;
    }
    Shutdown(SHUT_RDWR);
    CloseDescriptor();
}

void EventSocket::CloseDescriptor()
{
    int fd = socket_.exchange(-1);
    if (fd >= 0)
        close(fd);
}

void EventSocket::Wake()
{
    // The worker rebuilds its wait list on every pass, so a request it makes itself needs no
    // wake-up.
    if (workerId_.load() != std::this_thread::get_id())
        wakeEvent_.Set();
}

uint32_t EventSocket::Run(void* parameter)
{
    static_cast<EventSocket*>(parameter)->RunLoop();
    return 0;
}

void EventSocket::RunLoop()
{
    workerId_.store(std::this_thread::get_id());
    OnThreadStart();
    for (;;) {
        int fd = socket_.load();
        short events = 0;
        bool failedConnect = false;
        {
            std::lock_guard lock(requestLock_);
            if (fd >= 0 && !quiet_) {
                if (readPending_ || (Live() && (armed_ & ReadEvent)) || (armed_ & AcceptEvent))
                    events |= POLLIN;
                if (writePending_ || connectPending_ || (connected_ && (armed_ & WriteEvent)))
                    events |= POLLOUT;
                if (connected_ && (armed_ & CloseEvent))
                    events |= POLLRDHUP;
                failedConnect = connectPending_ && connectError_ != 0;
            }
        }
        pollfd fds[3] = {{stopEvent_.Fd(), POLLIN, 0},
                         {wakeEvent_.Fd(), POLLIN, 0},
                         {events != 0 ? fd : -1, events, 0}};
        const uint32_t waitTimeout = waitTimeout_.load();
        int timeout = waitTimeout == Event::Infinite ? -1 : static_cast<int>(waitTimeout);
        if (failedConnect)
            timeout = 0;  // report it without waiting for the socket
        int result = poll(fds, 3, timeout);
        if (result < 0 && errno == EINTR)
            continue;
        if (result < 0 || fds[0].revents != 0) {
            stopCount_.load(std::memory_order_acquire);
            // A later thread may get this id and must not pass for the worker. Cleared before
            // the close, since a successor started there sets its own and the object may be
            // gone as soon as the close returns.
            workerId_.store(std::thread::id());
            Close();
            return;
        }
        if (fds[1].revents != 0)
            wakeEvent_.Reset();
        short revents = fds[2].revents;
        if (revents != 0 || failedConnect) {
            // A hang-up or error that nothing asked about would wake every pass; leave the
            // socket out until the next request.
            if (!ServeSocket(revents) && (revents & (POLLERR | POLLHUP | POLLNVAL))) {
                std::lock_guard lock(requestLock_);
                quiet_ = true;
            }
        } else if (result == 0) {
            OnTimeout();
        }
    }
}

bool EventSocket::ServeSocket(short revents)
{
    return FinishRead(revents) || FinishWrite(revents) || DispatchNetworkEvents(revents);
}

bool EventSocket::FinishRead(short revents)
{
    uint8_t* buffer;
    int length;
    {
        std::lock_guard lock(requestLock_);
        if (!readPending_ || !(revents & (POLLIN | POLLERR | POLLHUP)))
            return false;
        buffer = readBuffer_;
        length = readLength_;
    }
    ssize_t received;
    do {
        received = recv(socket_.load(), buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    } while (received < 0 && errno == EINTR);
    int error = received < 0 ? errno : 0;
    if (received < 0 && WouldBlock(error))
        return true;  // readiness went away; keep waiting
    {
        std::lock_guard lock(requestLock_);
        readPending_ = false;
        armed_ |= eventMask_ & ReadEvent;
    }
    OnReadComplete(error, error != 0 ? 0 : static_cast<int>(received));
    return true;
}

bool EventSocket::FinishWrite(short revents)
{
    {
        std::lock_guard lock(requestLock_);
        if (!writePending_ || !(revents & (POLLOUT | POLLERR | POLLHUP)))
            return false;
    }
    // The bytes are the worker's while the write is outstanding.
    int error = 0;
    while (writeDone_ < writeData_.size()) {
        ssize_t sent = send(socket_.load(), writeData_.data() + writeDone_,
                            writeData_.size() - writeDone_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0) {
            writeDone_ += static_cast<size_t>(sent);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (WouldBlock(errno)) {
            std::lock_guard lock(requestLock_);
            armed_ |= eventMask_ & WriteEvent;
            return true;  // the rest goes when there is room
        }
        error = errno;
        break;
    }
    int bytes = error != 0 ? 0 : static_cast<int>(writeData_.size());
    {
        std::lock_guard lock(requestLock_);
        writePending_ = false;
    }
    OnWriteComplete(error, bytes);
    return true;
}

bool EventSocket::DispatchNetworkEvents(short revents)
{
    int fd = socket_.load();
    uint32_t report = 0;
    bool connectFinished = false;
    int connectError = 0;
    {
        std::lock_guard lock(requestLock_);
        if (connectPending_) {
            // While connecting, only the outcome counts.
            if (connectError_ == 0 && !(revents & (POLLOUT | POLLERR | POLLHUP)))
                return false;
            connectFinished = true;
            connectError = connectError_;
            connectPending_ = false;
            connectError_ = 0;
        } else {
            const bool input = revents & (POLLIN | POLLERR | POLLHUP);
            if (!readPending_ && input && Live() && (armed_ & ReadEvent))
                report |= ReadEvent;
            if (!readPending_ && input && (armed_ & AcceptEvent))
                report |= AcceptEvent;
            if (connected_ && (revents & POLLOUT) && (armed_ & WriteEvent))
                report |= WriteEvent;
            if (connected_ && (revents & (POLLRDHUP | POLLHUP | POLLERR)) && (armed_ & CloseEvent))
                report |= CloseEvent;
            armed_ &= ~report;
        }
    }
    if (connectFinished) {
        if (connectError == 0)
            connectError = PendingError(fd);
        std::lock_guard lock(requestLock_);
        connected_ = connectError == 0;
        if (eventMask_ & ConnectEvent)
            report |= ConnectEvent;
    }
    if (report == 0)
        return connectFinished;

    // A reset shows as an error on the close; an orderly close has none.
    int closeError = (report & CloseEvent) && (revents & POLLERR) ? PendingError(fd) : 0;
    if (report & ReadEvent)
        OnRead(0);
    if (report & WriteEvent)
        OnWrite(0);
    if (report & CloseEvent)
        OnClose(closeError);
    if (report & ConnectEvent)
        OnConnect(connectError);
    if (report & AcceptEvent)
        OnAccept(0);
    return true;
}
