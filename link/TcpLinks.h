#pragma once

#include <memory>

#include "link/PortRecords.h"
#include "net/EventLoop.h"
#include "net/Reason.h"
#include "net/SocketAddress.h"

class PortTrace;
class TcpConnection;
class VirtualSerialPort;

// The TCP links of the ports: a connection per TCP port's record (non-blocking connect, retries
// spaced by the connection), its notifications turned into the record's state, counts, latest
// error and trace. What the port cannot take stays with the link, which stops reading the DTU
// until the port has room again. Loop thread only.
class TcpLinks {
public:
    // What the links need of the data path around them.
    class Host {
    public:
        // The virtual port a record's bytes go into; null for none.
        virtual VirtualSerialPort* PortOf(const VirtualPortEntry& entry) const = 0;
        // The record's pump has work: its link connected or has room again.
        virtual void WakePump(const VirtualPortEntry& entry) = 0;
        // A record's link state, counts or latest error changed.
        virtual void Changed() = 0;

    protected:
        ~Host() = default;
    };

    TcpLinks(EventLoop& loop, PortTrace& trace, Host& host);
    ~TcpLinks();
    TcpLinks(const TcpLinks&) = delete;
    TcpLinks& operator=(const TcpLinks&) = delete;

    // The record's link made anew, connecting to peer; why not when it cannot be made.
    Reason Connect(VirtualPortEntry& entry, const SocketAddress& peer);
    void Drop(VirtualPortEntry& entry);
    // The record's connection, null while it has none.
    TcpConnection* Connection(const VirtualPortEntry& entry) const;
    // The port has room again: the links it held back read on.
    void Resume(const VirtualSerialPort* port);

private:
    class Link;

    EventLoop& loop_;
    PortTrace& trace_;
    Host& host_;
    std::unique_ptr<Link> links_[PortRecords::Count];  // by record
};
