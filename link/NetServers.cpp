#include "link/NetServers.h"

#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "link/NetClient.h"
#include "link/PortStatus.h"
#include "link/PortTrace.h"
#include "link/TelnetCodec.h"
#include "net/Log.h"
#include "net/RepeatSummary.h"
#include "net/TcpListener.h"
#include "vport/VirtualSerialPort.h"

namespace {

// Tells a client it cannot have the port and closes it. In RFC 2217 mode COM-PORT-OPTION is
// refused first, so a client that speaks it does not wait for answers; the line follows as
// Telnet text, which a Telnet client shows.
void Refuse(int fd, bool rfc2217, const std::string& why)
{
    std::vector<uint8_t> out;
    if (rfc2217) {
        Telnet::AppendOption(Telnet::WONT, Telnet::OptionComPort, out);
        Telnet::AppendOption(Telnet::DONT, Telnet::OptionComPort, out);
    }
    const std::string line = why + "\r\n";
    out.insert(out.end(), line.begin(), line.end());
    // A fresh socket takes a line at once. What the client sent already is read first, so the
    // close is a plain end of stream rather than a reset that could discard the line.
    uint8_t sink[512];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
    (void)!send(fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    close(fd);
}

}  // namespace

class NetServers::Server : private TcpListener::Owner {
public:
    Server(NetServers& owner, VirtualPortEntry& entry) : owner_(owner), entry_(entry), listener_(owner.loop_, *this)
    {
        // A client that went is forgotten from the loop, not from inside its own notification.
        drop_ = std::make_unique<EventLoop::Timer>(owner.loop_, [this] { ended_.reset(); });
    }
    ~Server()
    {
        EndClient("the port's server stopped", false);
        if (const auto rest = refusals_.Rest(refused_))
            SayRefusals(rest->count);
    }

    int Listen(const SocketAddress& address) { return listener_.Listen(address); }

private:
    std::string Name() const { return PortStatus::PortName(entry_.config.PortNumber); }
    bool Rfc2217() const { return entry_.config.NetMode != "raw"; }

    void OnAccepted(int fd, const SocketAddress& peer) override
    {
        const std::string address = PortTrace::AddressText(peer);
        VirtualSerialPort* port = owner_.host_.PortOf(entry_);
        std::string why;
        if (client_)
            why = Name() + " is in use by network client " + PortTrace::AddressText(client_->Peer());
        else if (!port || entry_.notServedReason)
            why = Name() + " is not served";
        else if (port->InUse())
            why = Name() + " is in use by an application on this machine";
        if (!why.empty()) {
            Refuse(fd, Rfc2217(), why);
            // A flood of connections makes a line now and then, not one each.
            lastRefused_ = address;
            lastWhy_ = why;
            ++refused_;
            const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                owner_.loop_.Now().time_since_epoch());
            if (const auto report = refusals_.Due(refused_, nowMs.count()))
                SayRefusals(report->count);
            Trace(TraceKind::NetRefused, address + ": " + why);
            return;
        }
        client_ = std::make_unique<NetClient>(
            owner_.loop_, fd, peer, Rfc2217() ? NetClient::Mode::Rfc2217 : NetClient::Mode::Raw, *port,
            [this](int error) {
                EndClient(error != 0 ? Log::SystemReason(error) : "the client closed the connection", true);
            },
            [this] {
                ++entry_.netLineChanges;
                owner_.host_.Changed();
            });
        port->SetRemoteUser(client_.get());
        entry_.netClient = peer;
        entry_.statistics.netClients += 1;
        Log::Notice(Name() + ": network client " + address + " connected (" + (Rfc2217() ? "RFC 2217" : "raw") + ")");
        Trace(TraceKind::NetConnect, address);
        owner_.host_.Changed();
    }

    // inside: from the client's own notification, which must not destroy it.
    void EndClient(const std::string& why, bool inside)
    {
        if (!client_)
            return;
        const std::string address = PortTrace::AddressText(client_->Peer());
        if (VirtualSerialPort* port = owner_.host_.PortOf(entry_); port && port->Remote() == client_.get())
            port->SetRemoteUser(nullptr);
        entry_.netClient = SocketAddress();
        Log::Notice(Name() + ": network client " + address + " disconnected: " + why);
        Trace(TraceKind::NetDisconnect, address + ": " + why);
        owner_.host_.Changed();
        if (inside) {
            ended_ = std::move(client_);
            drop_->Soon();
        } else {
            client_.reset();
        }
    }

    void SayRefusals(uint64_t count)
    {
        Log::Notice(
            Name() + (count == 1 ? ": network client " : ": " + std::to_string(count) + " network clients, the latest ")
            + lastRefused_ + ", refused: " + lastWhy_);
    }

    void Trace(TraceKind kind, const std::string& text)
    {
        if (owner_.trace_.Watching(entry_.index))
            owner_.trace_.Emit(entry_.index, entry_.config.PortNumber, kind, text);
    }

    NetServers& owner_;
    VirtualPortEntry& entry_;
    TcpListener listener_;
    std::unique_ptr<NetClient> client_;
    std::unique_ptr<NetClient> ended_;  // gone, destroyed at the loop's next look at its timers
    std::unique_ptr<EventLoop::Timer> drop_;
    uint64_t refused_ = 0;
    RepeatSummary refusals_{10000};
    std::string lastRefused_;  // the latest refused client's address, and why
    std::string lastWhy_;
};

NetServers::NetServers(EventLoop& loop, PortTrace& trace, Host& host) : loop_(loop), trace_(trace), host_(host) {}

NetServers::~NetServers() = default;

void NetServers::Listen(VirtualPortEntry& entry, const SocketAddress& address)
{
    Stop(entry);
    entry.netFailure = {};
    if (entry.config.NetPort <= 0)
        return;
    SocketAddress local = address;
    local.sin_port = htons(static_cast<uint16_t>(entry.config.NetPort));
    auto server = std::make_unique<Server>(*this, entry);
    const std::string name = PortStatus::PortName(entry.config.PortNumber);
    if (const int error = server->Listen(local)) {
        entry.netFailure = {Reason::Kind::NetPortNotListening, PortTrace::AddressText(local), name, error};
        Log::Error(name + ": " + entry.netFailure.English());
        host_.Changed();
        return;
    }
    if (local.sin_addr.s_addr != htonl(INADDR_LOOPBACK) && (ntohl(local.sin_addr.s_addr) >> 24) != 127)
        Log::Warning(name + ": network clients are taken on " + PortTrace::AddressText(local)
                     + ", which is not a loopback address: anyone who reaches it uses the port, without a password");
    else
        Log::Info(name + ": network clients are taken on " + PortTrace::AddressText(local)
                  + (entry.config.NetMode == "raw" ? " (raw)" : " (RFC 2217)"));
    servers_[entry.index] = std::move(server);
}

void NetServers::Stop(VirtualPortEntry& entry)
{
    servers_[entry.index].reset();
    entry.netClient = SocketAddress();
}
