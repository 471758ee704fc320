#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "net/Event.h"
#include "net/SocketAddress.h"
#include "net/WorkerThread.h"

// One socket with one worker thread. The worker sleeps in a single poll() over the stop
// event, a wake-up event for new requests and the socket, and turns what it finds into hook
// calls, in this priority: stop, a finished read, a finished write, network events. Reads
// and writes are carried out by the worker once the socket is ready; their results always
// arrive on the worker, never from inside Read or Write.
//
// Network events follow the select model: read, accept and write readiness is reported once
// and reported again only after it was re-enabled (a completed Read re-enables ReadEvent; a
// write that had to wait re-enables WriteEvent; code that reads or accepts on the descriptor
// by itself calls ReenableEvents). Close and connect are reported once per connection.
//
// A class that overrides hooks or Close must call EndWorker in its own destructor, so that
// the worker never runs a hook on a half-destroyed object.
class EventSocket {
public:
    enum : uint32_t {
        ReadEvent = 1u << 0,
        WriteEvent = 1u << 1,
        AcceptEvent = 1u << 3,
        ConnectEvent = 1u << 4,
        CloseEvent = 1u << 5,
    };

    explicit EventSocket(uint32_t waitTimeoutMs = Event::Infinite);
    virtual ~EventSocket();
    EventSocket(const EventSocket&) = delete;
    EventSocket& operator=(const EventSocket&) = delete;

    // New non-blocking socket of the given type (SOCK_DGRAM, SOCK_STREAM), events selected,
    // bound to the local address, worker started. On any failure no socket and no worker
    // remain. A failed bind fails the open (an unbound socket would bind itself elsewhere).
    bool Open(int type, uint32_t eventMask, const SocketAddress& local);
    bool SelectEvents(uint32_t eventMask);
    bool Bind(const SocketAddress& local);
    // Starts a connection attempt; its outcome arrives as OnConnect on the worker.
    bool Connect(const SocketAddress& peer);
    bool StartThread();
    // Ends the worker loop: the worker closes the socket and ends. Any thread.
    void Stop();

    // One read of up to length bytes into the caller's buffer, which must stay valid until
    // OnReadComplete. False when there is no socket or a read is already outstanding.
    bool Read(uint8_t* buffer, int length);
    // Copies the bytes and sends them from the worker; returns length when accepted, 0 when
    // refused: no connected socket, or an earlier write still outstanding (retry later).
    virtual int Write(const uint8_t* data, int length);
    bool Shutdown(int how = SHUT_RDWR);

    bool IsOpen() const { return socket_.load() >= 0; }

protected:
    // Hooks, all on the worker; error is 0 for success, else the errno.
    virtual void OnClose(int error);
    virtual void OnAccept(int error);
    virtual void OnRead(int error);
    virtual void OnWrite(int error);
    virtual void OnThreadStart();
    virtual void OnReadComplete(int error, int bytes);
    virtual void OnWriteComplete(int error, int bytes);
    // Run by the worker when its loop ends: cancels the events, drops outstanding requests,
    // shuts the socket down both ways and closes it. Does nothing without a socket.
    virtual void Close();
    virtual void OnTimeout();
    virtual void OnConnect(int error);

    // The current descriptor, -1 when none; a reopen replaces it.
    int Socket() const { return socket_.load(); }
    void ReenableEvents(uint32_t eventMask);
    // How long the worker sleeps before OnTimeout; takes effect at its next wait.
    void SetWaitTimeout(uint32_t timeoutMs) { waitTimeout_.store(timeoutMs); }
    // True when the stop was signalled within the limit.
    bool WaitForStop(uint32_t limitMs) { return stopEvent_.Wait(limitMs); }
    // Stops the worker and waits for it (and any successor it started) without limit.
    void EndWorker();

private:
    static uint32_t Run(void* parameter);
    void RunLoop();
    void CloseDescriptor();
    // Makes the worker rebuild its wait list after a request from another thread.
    void Wake();
    // Worker side of one wake-up on the socket; false when nothing could be done with it.
    bool ServeSocket(short revents);
    bool FinishRead(short revents);
    bool FinishWrite(short revents);
    bool DispatchNetworkEvents(short revents);

    std::atomic<int> socket_{-1};
    std::atomic<uint32_t> waitTimeout_;
    WorkerThread thread_;
    std::atomic<std::thread::id> workerId_{};
    Event stopEvent_{true};
    std::atomic<uint32_t> stopCount_{0};
    Event wakeEvent_{false};

    // Requests from any thread, guarded by requestLock_. The write bytes are only touched by
    // Write while no write is outstanding and by the worker while one is.
    std::mutex requestLock_;
    uint32_t eventMask_ = 0;
    uint32_t armed_ = 0;  // selected events that may be reported now
    bool quiet_ = false;  // socket left out of the wait until the next request
    bool connectPending_ = false;
    int connectError_ = 0;  // a connect that failed before it could start
    bool connected_ = false;
    bool stream_ = false;
    // A stream socket has nothing to read, write or close before it is connected.
    bool Live() const { return !stream_ || connected_; }
    uint8_t* readBuffer_ = nullptr;
    int readLength_ = 0;
    bool readPending_ = false;
    bool writePending_ = false;
    std::vector<uint8_t> writeData_;
    size_t writeDone_ = 0;
};
