#include <string>

#include "link/PortTable.h"
#include "net/Log.h"
#include "vport/DescriptorBudget.h"
#include "vport/VirtualSerialPort.h"

namespace {

// The port directory's refusals: the same cause for every port.
bool DirectoryRefusal(Reason::Kind kind)
{
    using K = Reason::Kind;
    return kind == K::DirectoryNotCreated || kind == K::DirectoryIsLink || kind == K::DirectoryNotOpened
           || kind == K::DirectoryNotExamined || kind == K::DirectoryOfOtherUser || kind == K::DirectoryOpenToOthers;
}

}  // namespace

void PortTable::ActivatePort(int i)
{
    VirtualPortEntry& e = ports[i];
    const std::string name = PortName(e.PortNumber);
    // Two slots with one number (a hand-written file): the later one is not served.
    const int earlier = settings.OnlyOnePort ? -1 : FindPortByNumber(e.PortNumber);
    e.portHeld = 1;
    if (earlier >= 0) {
        e.linkRunning = 0;
        SetNotServed(e, {Reason::Kind::NumberServedTwice, name, std::to_string(earlier + 1)});
    } else if (settings.OnlyOnePort) {
        e.linkRunning = 1;
        if (!sharedPortOpen)
            SetNotServed(e, sharedControl ? sharedControl->OpenFailure() : Reason{Reason::Kind::SharedPortNotOpen});
    } else {
        e.linkRunning = OpenVirtualPort(e, name) ? 1 : 0;
    }

    StartLinks(e);
    if (sharedTarget == -1)
        SetSharedTarget(i);
}

void PortTable::StartLinks(VirtualPortEntry& entry)
{
    if (entry.linkRunning && !StartPortLink(entry)) {
        // Without its pump what applications write would never leave: no port at all.
        entry.linkRunning = 0;
        if (!settings.OnlyOnePort && entry.control)
            entry.control->Close();
    }
    // A DTU whose bytes would have nowhere to go is not connected; a port without its DTU's
    // link is no port.
    if (entry.UseTcp && !entry.notServedReason && !ConnectTcpLink(entry)) {
        StopPortLink(entry);
        if (!settings.OnlyOnePort && entry.control)
            entry.control->Close();
    }
}

bool PortTable::OpenVirtualPort(VirtualPortEntry& entry, const std::string& name)
{
    if (entry.control && entry.control->Open(name, pumpLoop.Ports())) {
        SetNotServed(entry, {});
        return true;
    }
    SetNotServed(entry, entry.control ? entry.control->OpenFailure() : Reason{Reason::Kind::NoVirtualPort, name});
    return false;
}

void PortTable::SetNotServed(VirtualPortEntry& entry, const Reason& reason)
{
    entry.notServedReason = reason;
    // Every port that is not served is named; a refused port directory, the same cause for
    // every port, makes one line.
    const std::string name = PortName(entry.PortNumber);
    const bool global = DirectoryRefusal(reason.kind);
    const std::string text = reason.English();
    if (reason && reportedReasons.insert(global ? text : name + ": " + text).second)
        Log::Error(name + " (slot " + std::to_string(entry.index + 1) + ") is not served: " + text
                   + (global ? "; no port is served while it is" : ""));
}

void PortTable::CloseVirtualPort(VirtualPortEntry& entry)
{
    if (settings.OnlyOnePort || !entry.portHeld)
        return;
    // No datagram is matched to the record once its port starts to go.
    entry.portHeld = 0;
    if (entry.control)
        entry.control->Close();
}

bool PortTable::StartPortLink(VirtualPortEntry& entry)
{
    if (pumpLoop.Runs(entry))
        return true;
    if (pumpLoop.Add(*this, entry, settings.OnlyOnePort != 0))
        return true;
    // The loop has said why.
    SetNotServed(entry, {Reason::Kind::NoPump, PortName(entry.PortNumber)});
    return false;
}

void PortTable::StopPortLink(VirtualPortEntry& entry)
{
    if (!entry.linkRunning)
        return;
    entry.linkRunning = 0;
    pumpLoop.Remove(entry);
}

void VirtualPortEntry::WakePump()
{
    owner->pumpLoop.Wake(*this);
}

bool PortTable::ConnectTcpLink(VirtualPortEntry& entry)
{
    if (entry.tcpLink)
        DropTcpLink(entry);
    if (!DescriptorBudget::Room(DescriptorBudget::PerTcpLink)) {
        SetNotServed(entry, DescriptorBudget::Shortage(PortName(entry.PortNumber)));
        return false;
    }
    SocketAddress peer;
    peer.Parse((entry.peerAddress.ToText() + ":" + std::to_string(settings.SocketPort)).c_str());
    EventLoop& loop = pumpLoop.Loop();
    entry.tcpLink = std::make_unique<TcpConnection>(loop, entry);
    const int error = entry.tcpLink->Connect(peer);
    if (error != 0) {
        DropTcpLink(entry);
        SetNotServed(entry, DescriptorBudget::Failure(Reason::Kind::NoTcpLink, PortName(entry.PortNumber), error));
        return false;
    }
    return true;
}

void PortTable::DropTcpLink(VirtualPortEntry& entry)
{
    if (!entry.tcpLink)
        return;
    entry.tcpLink.reset();
    entry.tcpPaused = false;
    entry.tcpConnected = 0;
    entry.tcpFailure = 0;
}

void PortTable::CloseAll()
{
    OnLoop([&] {
        for (VirtualPortEntry& e : ports) {
            StopPortLink(e);
            DropTcpLink(e);
            CloseVirtualPort(e);
        }
        if (settings.OnlyOnePort && sharedPortOpen) {
            sharedControl->Close();
            sharedPortOpen = 0;
        }
    });
}

void VirtualPortEntry::OnAttempt()
{
    if (owner->trace->Watching(index))
        owner->trace->Emit(index, PortNumber, TraceKind::TcpConnect, PortTrace::AddressText(tcpLink->Peer()));
}

void VirtualPortEntry::OnConnected()
{
    tcpFailure = 0;
    tcpConnected = 1;
    statistics.tcpConnects += 1;
    if (owner->trace->Watching(index))
        owner->trace->Emit(index, PortNumber, TraceKind::TcpUp, PortTrace::AddressText(tcpLink->Peer()));
    WakePump();  // bytes held while the link was down may leave now
}

int VirtualPortEntry::OnData(const uint8_t* data, int length)
{
    // What the port cannot take now stays with the link, which stops reading the DTU until
    // the port has room again (OnPortRoom).
    VirtualSerialPort* port = owner->PortOf(*this);
    const int taken = port ? port->Write(data, length) : length;
    if (taken > 0) {
        statistics.rxBytes += static_cast<uint64_t>(taken);
        statistics.rxDatagrams += 1;
        if (owner->trace->Watching(index))
            owner->trace->Emit(index, PortNumber, TraceKind::FromDtu, {}, 0, data, static_cast<size_t>(taken));
    }
    if (taken < length)
        tcpPaused = true;
    return taken;
}

void PortTable::OnPortRoom(const VirtualSerialPort* port)
{
    for (VirtualPortEntry& e : ports) {
        if (e.tcpPaused && PortOf(e) == port) {
            e.tcpPaused = false;
            if (e.tcpLink)
                e.tcpLink->Resume();
        }
    }
}

void VirtualPortEntry::OnClosed()
{
    tcpConnected = 0;
    statistics.tcpDisconnects += 1;
    PortTable::NoteError(*this, {Reason::Kind::TcpConnectionEnded, PortTrace::AddressText(tcpLink->Peer())});
    if (owner->trace->Watching(index))
        owner->trace->Emit(index, PortNumber, TraceKind::TcpDown, "connection closed");
}

void VirtualPortEntry::OnAttemptFailed(int error)
{
    tcpFailure = error;
    statistics.tcpRefusals += 1;
    PortTable::NoteError(*this, {Reason::Kind::TcpAttemptFailed, PortTrace::AddressText(tcpLink->Peer()), {}, error});
    if (owner->trace->Watching(index))
        owner->trace->Emit(index, PortNumber, TraceKind::TcpRefused, Log::SystemReason(error));
}

void VirtualPortEntry::OnWritable()
{
    WakePump();  // the chunk the link refused may go now
}

VirtualPortEntry::~VirtualPortEntry() = default;
