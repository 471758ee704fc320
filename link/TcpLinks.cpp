#include "link/TcpLinks.h"

#include <string>

#include "link/PortTrace.h"
#include "net/Log.h"
#include "net/TcpConnection.h"
#include "vport/DescriptorBudget.h"
#include "vport/VirtualSerialPort.h"

// One record's connection and what it tells.
class TcpLinks::Link : public TcpConnection::Owner {
public:
    Link(TcpLinks& links, VirtualPortEntry& entry) : links_(links), entry_(entry), connection_(links.loop_, *this) {}

    TcpConnection& Connection() { return connection_; }
    // The link holds bytes the port could not take, until the port has room again.
    bool Paused() const { return paused_; }
    void Resume()
    {
        paused_ = false;
        connection_.Resume();
    }
    const VirtualPortEntry& Entry() const { return entry_; }

    void OnAttempt() override;
    void OnConnected() override;
    int OnData(const uint8_t* data, int length) override;
    void OnClosed() override;
    void OnAttemptFailed(int error) override;
    void OnWritable() override;

private:
    TcpLinks& links_;
    VirtualPortEntry& entry_;
    TcpConnection connection_;
    bool paused_ = false;
};

TcpLinks::TcpLinks(EventLoop& loop, PortTrace& trace, Host& host) : loop_(loop), trace_(trace), host_(host) {}

TcpLinks::~TcpLinks() = default;

Reason TcpLinks::Connect(VirtualPortEntry& entry, const SocketAddress& peer)
{
    Drop(entry);
    const std::string name = PortStatus::PortName(entry.config.PortNumber);
    if (!DescriptorBudget::Room(DescriptorBudget::PerTcpLink))
        return DescriptorBudget::Shortage(name);
    std::unique_ptr<Link>& link = links_[entry.index];
    link = std::make_unique<Link>(*this, entry);
    const int error = link->Connection().Connect(peer);
    if (error != 0) {
        Drop(entry);
        return DescriptorBudget::Failure(Reason::Kind::NoTcpLink, name, error);
    }
    return {};
}

void TcpLinks::Drop(VirtualPortEntry& entry)
{
    std::unique_ptr<Link>& link = links_[entry.index];
    if (!link)
        return;
    link.reset();
    entry.tcpConnected = 0;
    entry.tcpFailure = 0;
}

TcpConnection* TcpLinks::Connection(const VirtualPortEntry& entry) const
{
    const std::unique_ptr<Link>& link = links_[entry.index];
    return link ? &link->Connection() : nullptr;
}

void TcpLinks::Resume(const VirtualSerialPort* port)
{
    for (const std::unique_ptr<Link>& link : links_) {
        if (link && link->Paused() && host_.PortOf(link->Entry()) == port)
            link->Resume();
    }
}

void TcpLinks::Link::OnAttempt()
{
    PortTrace& trace = links_.trace_;
    if (trace.Watching(entry_.index))
        trace.Emit(entry_.index, entry_.config.PortNumber, TraceKind::TcpConnect,
                   PortTrace::AddressText(connection_.Peer()));
}

void TcpLinks::Link::OnConnected()
{
    entry_.tcpFailure = 0;
    entry_.tcpConnected = 1;
    entry_.statistics.tcpConnects += 1;
    PortTrace& trace = links_.trace_;
    if (trace.Watching(entry_.index))
        trace.Emit(entry_.index, entry_.config.PortNumber, TraceKind::TcpUp,
                   PortTrace::AddressText(connection_.Peer()));
    links_.host_.WakePump(entry_);  // bytes held while the link was down may leave now
    links_.host_.Changed();
}

int TcpLinks::Link::OnData(const uint8_t* data, int length)
{
    // What the port cannot take now stays with the link, which stops reading the DTU until
    // the port has room again (Resume).
    VirtualSerialPort* port = links_.host_.PortOf(entry_);
    const int taken = port ? port->Write(data, length) : length;
    if (taken > 0) {
        entry_.statistics.rxBytes += static_cast<uint64_t>(taken);
        entry_.statistics.rxDatagrams += 1;
        PortTrace& trace = links_.trace_;
        if (trace.Watching(entry_.index))
            trace.Emit(entry_.index, entry_.config.PortNumber, TraceKind::FromDtu, {}, 0, data,
                       static_cast<size_t>(taken));
    }
    if (taken < length)
        paused_ = true;
    links_.host_.Changed();
    return taken;
}

void TcpLinks::Link::OnClosed()
{
    entry_.tcpConnected = 0;
    entry_.statistics.tcpDisconnects += 1;
    entry_.NoteError({Reason::Kind::TcpConnectionEnded, PortTrace::AddressText(connection_.Peer())});
    PortTrace& trace = links_.trace_;
    if (trace.Watching(entry_.index))
        trace.Emit(entry_.index, entry_.config.PortNumber, TraceKind::TcpDown, "connection closed");
    links_.host_.Changed();
}

void TcpLinks::Link::OnAttemptFailed(int error)
{
    entry_.tcpFailure = error;
    entry_.statistics.tcpRefusals += 1;
    entry_.NoteError({Reason::Kind::TcpAttemptFailed, PortTrace::AddressText(connection_.Peer()), {}, error});
    PortTrace& trace = links_.trace_;
    if (trace.Watching(entry_.index))
        trace.Emit(entry_.index, entry_.config.PortNumber, TraceKind::TcpRefused, Log::SystemReason(error));
    links_.host_.Changed();
}

void TcpLinks::Link::OnWritable()
{
    links_.host_.WakePump(entry_);  // the chunk the link refused may go now
}
