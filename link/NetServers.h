#pragma once

#include <memory>

#include "link/PortRecords.h"
#include "net/EventLoop.h"
#include "net/Reason.h"
#include "net/SocketAddress.h"

class PortTrace;
class VirtualSerialPort;

// The network servers of the ports: a port with a NetPort listens on NetAddress:NetPort and
// takes one network client at a time (NetClient) in the place of an application on its
// pseudo-terminal. A port has one user: a second client, or a client while an application holds
// the port, is told why in one line and closed. Connects and disconnects are logged (notice),
// traced and counted. Loop thread only.
class NetServers {
public:
    class Host {
    public:
        // The virtual port a record's bytes pass through; null for none.
        virtual VirtualSerialPort* PortOf(const VirtualPortEntry& entry) const = 0;
        // A record's client, counts or line settings changed.
        virtual void Changed() = 0;

    protected:
        ~Host() = default;
    };

    NetServers(EventLoop& loop, PortTrace& trace, Host& host);
    ~NetServers();
    NetServers(const NetServers&) = delete;
    NetServers& operator=(const NetServers&) = delete;

    // The record's server made anew on address (its port: the record's NetPort; none while
    // that is 0). Why not, said in the log and kept in the record's netFailure, when it cannot
    // listen: the port is served without it.
    void Listen(VirtualPortEntry& entry, const SocketAddress& address);
    // The record's listener and client go; a client is closed.
    void Stop(VirtualPortEntry& entry);

private:
    class Server;

    EventLoop& loop_;
    PortTrace& trace_;
    Host& host_;
    std::unique_ptr<Server> servers_[PortRecords::Count];  // by record
};
