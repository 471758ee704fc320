#include <string>

#include "link/LinkPump.h"
#include "link/PortTable.h"
#include "net/TcpClientLink.h"
#include "vport/VirtualSerialPort.h"

void PortTable::ActivatePort(int i)
{
    VirtualPortEntry& e = ports[i];
    const std::string name = PortName(e.PortNumber);
    e.portHeld = 1;
    e.linkRunning = settings.OnlyOnePort ? 1 : (OpenVirtualPort(e, name) ? 1 : 0);

    e.listRow = view.AppendRow(i, name);
    ShowConfiguredCells(i);
    StartLinks(e);
    if (sharedTarget.load() == -1)
        SetSharedTarget(i);
}

void PortTable::ShowConfiguredCells(int i)
{
    VirtualPortEntry& e = ports[i];
    view.SetCell(i, PortView::ColCode, e.Code);
    if (e.UseFixedIP) {
        std::string address;
        {
            PumpLockHold hold(pumpLock);
            address = e.peerAddress.ToText();
        }
        view.SetCell(i, PortView::ColAddress, address);
    }
}

void PortTable::StartLinks(VirtualPortEntry& entry)
{
    if (entry.linkRunning)
        StartPortLink(entry);
    if (entry.UseTcp)
        ConnectTcpLink(entry);
}

bool PortTable::OpenVirtualPort(VirtualPortEntry& entry, const std::string& name)
{
    return entry.control && entry.control->Open(name);
}

void PortTable::CloseVirtualPort(VirtualPortEntry& entry)
{
    if (settings.OnlyOnePort || !entry.portHeld)
        return;
    {
        // No datagram is matched to the record once its port starts to go.
        PumpLockHold hold(pumpLock);
        entry.portHeld = 0;
    }
    if (entry.control)
        entry.control->Close();
}

void PortTable::StartPortLink(VirtualPortEntry& entry)
{
    if (entry.pumpThread.IsRunning())
        return;
    {
        std::lock_guard guard(entry.pumpEventGuard);
        entry.pumpStopping = 0;
        entry.pumpStopEvent = std::make_unique<Event>(true, false);
    }
    entry.pumpThread.Start(PortPump, &entry);
}

void PortTable::StopPortLink(VirtualPortEntry& entry)
{
    if (!entry.linkRunning)
        return;
    entry.linkRunning = 0;
    entry.pumpStopping = 1;
    {
        std::lock_guard guard(entry.pumpEventGuard);
        if (entry.pumpStopEvent)
            entry.pumpStopEvent->Set();
    }
    // No lock held here: a pump waiting for pumpLock gets it, ends its pass and sees the stop.
    entry.pumpThread.Wait();
    std::lock_guard guard(entry.pumpEventGuard);
    entry.pumpStopEvent.reset();
}

void VirtualPortEntry::WakePump()
{
    std::lock_guard guard(pumpEventGuard);
    if (pumpStopEvent)
        pumpStopEvent->Set();
}

void PortTable::ConnectTcpLink(VirtualPortEntry& entry)
{
    if (entry.tcpLink)
        DropTcpLink(entry);
    auto link = std::make_unique<TcpClientLink>();
    link->SetOwner(&entry);
    std::string host;
    {
        PumpLockHold hold(pumpLock);
        host = entry.peerAddress.ToText();
        entry.tcpLink = std::move(link);
    }
    entry.tcpLink->Connect(host.c_str(), settings.SocketPort);
}

void PortTable::DropTcpLink(VirtualPortEntry& entry)
{
    if (!entry.tcpLink)
        return;
    // Held until tcpConnected is clear: no pump pass is inside a write through the link or
    // enters one. The link's notifications take no lock, so waiting for its worker is safe.
    PumpLockHold hold(pumpLock);
    entry.tcpLink->Disconnect();
    entry.tcpLink.reset();
    entry.tcpConnected = 0;
    view.SetCell(entry.index, PortView::ColConnection, "");
}

void PortTable::ShutdownLinks()
{
    for (VirtualPortEntry& e : ports) {
        StopPortLink(e);
        DropTcpLink(e);
        CloseVirtualPort(e);
    }
    if (settings.OnlyOnePort && sharedPortOpen) {
        sharedControl->Close();
        sharedPortOpen = 0;
    }
}

uint32_t PortTable::PortPump(void* entry)
{
    auto& e = *static_cast<VirtualPortEntry*>(entry);
    if (e.owner->settings.OnlyOnePort)
        e.owner->PumpSharedPort(e);
    else
        e.owner->PumpOwnPort(e);
    return 0;
}

void PortTable::PumpOwnPort(VirtualPortEntry& entry)
{
    LinkPump(*this, entry, false).Run();
}

void PortTable::PumpSharedPort(VirtualPortEntry& entry)
{
    LinkPump(*this, entry, true).Run();
}

void VirtualPortEntry::OnLinkConnected()
{
    owner->view.SetCell(index, PortView::ColConnection, "√");
    tcpConnected = 1;
    WakePump();  // bytes held while the link was down may leave now
}

int VirtualPortEntry::OnLinkData(const uint8_t* data, int length)
{
    // What the port cannot take now stays with the link, which stops reading the DTU.
    VirtualSerialPort* port = owner->PortOf(*this);
    const int taken = port ? port->Write(data, length) : length;
    if (taken > 0) {
        const int total = bytesFromNetwork.fetch_add(taken, std::memory_order_relaxed) + taken;
        owner->view.SetCell(index, PortView::ColReceived, std::to_string(total));
    }
    return taken;
}

void VirtualPortEntry::OnLinkClosed()
{
    owner->view.SetCell(index, PortView::ColConnection, "");
    tcpConnected = 0;
}

VirtualPortEntry::~VirtualPortEntry() = default;
