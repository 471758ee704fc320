#include "link/PortTable.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <unistd.h>

#include "net/Log.h"
#include "vport/VirtualPortSites.h"
#include "vport/VirtualSerialPort.h"

namespace {

// Equal when the texts differ at most in the case of the letters A to Z.
bool EqualsIgnoringLetterCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    for (size_t k = 0; k < a.size(); ++k) {
        if (fold(a[k]) != fold(b[k]))
            return false;
    }
    return true;
}

int64_t UnixMillisecondsNow()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

PortTable::PortTable(Clock& clock, const GlobalSettings& settings, VirtualPortSites& sites, const char* serverAddress,
                     Turning turning)
    : clock(clock), settings(settings), pumpLoop(clock, turning), sites(sites), serverAddress(serverAddress)
{
    SocketAddress local;
    local.Parse(serverAddress);
    UdpEndpoint::Owner& owner = *this;
    udpServer = std::make_unique<UdpEndpoint>(pumpLoop.Loop(), local, owner);
    trace = std::make_unique<PortTrace>(pumpLoop.Loop());
    for (int i = 0; i < MaxPorts; ++i) {
        ports[i].index = i;
        ports[i].owner = this;
    }
}

PortTable::~PortTable()
{
    // Nothing may run on the records or the endpoint once they go.
    CloseAll();
    StopNetwork();
    pumpLoop.Loop().Call([this] {
        udpServer.reset();
        trace.reset();
        // The sites outlive the table.
        for (VirtualPortEntry& e : ports)
            if (e.control)
                e.control->WhenRoom(nullptr);
        if (sharedControl)
            sharedControl->WhenRoom(nullptr);
    });
}

PortTable::NetworkResult PortTable::StartNetwork()
{
    char name[255];
    if (gethostname(name, sizeof name) != 0)
        return NetworkResult::HostNameFailed;
    // The endpoint retries a taken port quietly until it is free: say once that it is taken.
    if (const int error = pumpLoop.Loop().Call([this] { return udpServer->Start(); }); error != 0) {
        networkFailure = {Reason::Kind::UdpPortTaken, std::to_string(UdpPort()), {}, error};
        Log::Error(networkFailure.English());
    }
    networkStarted = 1;
    StartOnlineWatch();
    return networkFailure ? NetworkResult::PortTaken : NetworkResult::Started;
}

void PortTable::StopNetwork()
{
    if (!networkStarted)
        return;
    pumpLoop.Loop().Call([this] { udpServer->Stop(); });
    StopOnlineWatch();
    networkStarted = 0;
}

void PortTable::Turn(std::chrono::milliseconds limit)
{
    pumpLoop.Loop().RunOnce(limit);
}

bool PortTable::TurnUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    return pumpLoop.Loop().RunUntil(done, limit);
}

bool PortTable::UdpPortOpen() const
{
    return udpOpen.load();
}

uint16_t PortTable::UdpPort() const
{
    SocketAddress local;
    local.Parse(serverAddress.c_str());
    return local.Port();
}

void PortTable::PrepareSlots()
{
    OnLoop([&] {
        if (settings.OnlyOnePort)
            BindSharedControl();
        for (int i = 0; i < MaxPorts; ++i) {
            ResetRecord(i);
            if (!settings.OnlyOnePort)
                BindRecordControl(i);
        }
    });
}

void PortTable::OpenSlot(int slot, const PortConfig& config)
{
    OnLoop([&] {
        // Nothing of the port that had the slot before: its DTU's last datagram, its counts.
        ResetRecord(slot);
        FillRecord(slot, config);
        ActivatePort(slot);
    });
}

void PortTable::EditSlot(int slot, const PortConfig& config)
{
    OnLoop([&] { ApplyEdit(slot, config); });
}

void PortTable::CloseSlot(int slot)
{
    OnLoop([&] { RemovePort(slot); });
}

bool PortTable::InService(int slot) const
{
    return OnLoop([&] { return slot >= 0 && slot < MaxPorts && ports[slot].portHeld; });
}

int PortTable::FindPortByCode(const std::string& code) const
{
    return OnLoop([&] {
        for (int i = 0; i < MaxPorts; ++i) {
            if (ports[i].portHeld && ports[i].Code == code)
                return i;
        }
        return -1;
    });
}

std::optional<LineState> PortTable::LineSettings(int slot) const
{
    return OnLoop([&] {
        if (!InService(slot))
            return std::optional<LineState>();
        const VirtualSerialPort* port = PortOf(ports[slot]);
        return port ? port->LineSettings() : std::nullopt;
    });
}

PortTable::Unmatched PortTable::UnmatchedDatagrams() const
{
    return OnLoop([&] {
        Unmatched unmatched;
        unmatched.count = unmatchedDatagrams;
        unmatched.code = lastUnmatchedCode;
        unmatched.source = lastUnmatchedSource;
        return unmatched;
    });
}

void PortTable::AddTraceWatcher(int fd, const std::vector<int>& watched)
{
    OnLoop([&] { trace->Add(fd, watched); });
}

void PortTable::NoteError(VirtualPortEntry& entry, Reason error)
{
    entry.lastError = std::move(error);
    entry.statistics.lastErrorMs = UnixMillisecondsNow();
}

void PortTable::BindSharedControl()
{
    sharedControl = &sites.Site(0);
    sharedControl->Initialize();
    sharedControl->WhenRoom([this, port = sharedControl] { OnPortRoom(port); });
    sharedPortOpen = sharedControl->Open(PortName(settings.VPortNo), pumpLoop.Ports()) ? 1 : 0;
}

void PortTable::ResetRecord(int i)
{
    VirtualPortEntry& e = ports[i];
    e.portHeld = 0;
    e.linkRunning = 0;
    e.PortNumber = 0;
    e.UseFixedIP = 0;
    e.peerAddress = SocketAddress();
    e.loginAddress = SocketAddress();
    e.online = 0;
    e.LoginInterval = 300;
    e.Code.clear();
    e.UseTcp = 0;
    e.FrameGap = PortConfig::DefaultFrameGap;
    e.tcpConnected = 0;
    e.tcpFailure = 0;
    e.lastHeard = {};
    e.statistics = {};
    e.lastError = {};
    e.notServedReason = {};
}

void PortTable::BindRecordControl(int i)
{
    VirtualSerialPort* port = &sites.Site(i);
    ports[i].control = port;
    port->Initialize();
    port->WhenRoom([this, port] { OnPortRoom(port); });
}

int PortTable::FindFreeSlot() const
{
    return OnLoop([&] {
        for (int i = 0; i < MaxPorts; ++i) {
            if (!ports[i].portHeld)
                return i;
        }
        return -1;
    });
}

int PortTable::FindPortByNumber(int number) const
{
    return OnLoop([&] {
        for (int i = 0; i < MaxPorts; ++i) {
            if (ports[i].portHeld && ports[i].PortNumber == number)
                return i;
        }
        return -1;
    });
}

SocketAddress PortTable::PeerAddress(const PortConfig& config) const
{
    SocketAddress address;
    in_addr parsed{};
    if (inet_pton(AF_INET, config.PeerIP.c_str(), &parsed) == 1)
        address.SetInAddr(parsed.s_addr, settings.SocketPort);
    return address;
}

void PortTable::FillRecord(int i, const PortConfig& config)
{
    VirtualPortEntry& e = ports[i];
    const SocketAddress configured = PeerAddress(config);
    // A dynamic UDP port that stays one keeps the address its DTU logged in from, the DTU's
    // own port included, while PeerIP still names it: its bytes keep going there.
    const bool keepsLogin = e.portHeld && !e.UseFixedIP && !e.UseTcp && !config.UseFixedIP && !config.UseTcp
                            && e.peerAddress.sin_addr.s_addr == configured.sin_addr.s_addr;
    e.PortNumber = config.PortNumber;
    e.UseFixedIP = config.UseFixedIP;
    if (!keepsLogin)
        e.peerAddress = configured;
    e.Code = config.Code;
    e.LoginInterval = config.LoginInterval;
    e.UseTcp = config.UseTcp;
    // The callers check the range; a pump never waits beyond it whatever they pass.
    e.FrameGap = std::clamp(config.FrameGap, 0, PortConfig::MaxFrameGap);
}

PortConfig PortTable::SlotConfig(int i) const
{
    return OnLoop([&] { return ConfigOf(ports[i]); });
}

PortConfig PortTable::ConfigOf(const VirtualPortEntry& e)
{
    PortConfig config;
    config.PortNumber = e.PortNumber;
    config.UseFixedIP = e.UseFixedIP;
    config.PeerIP = e.peerAddress.ToText();
    config.Code = e.Code;
    config.LoginInterval = e.LoginInterval;
    config.UseTcp = e.UseTcp;
    config.FrameGap = e.FrameGap;
    return config;
}

PortStatus PortTable::Status(int i) const
{
    return OnLoop([&] { return StatusOnLoop(i); });
}

std::vector<std::optional<PortStatus>> PortTable::Statuses() const
{
    return OnLoop([&] {
        std::vector<std::optional<PortStatus>> all(MaxPorts);
        for (int i = 0; i < MaxPorts; ++i) {
            if (ports[i].portHeld)
                all[static_cast<size_t>(i)] = StatusOnLoop(i);
        }
        return all;
    });
}

PortStatus PortTable::StatusOnLoop(int i) const
{
    const VirtualPortEntry& e = ports[i];
    PortStatus s;
    s.slot = i;
    s.online = e.UseTcp ? e.tcpConnected != 0 : e.online != 0;
    s.config = ConfigOf(e);
    if (!e.UseFixedIP && !e.UseTcp && e.loginAddress.sin_addr.s_addr != 0)
        s.loginAddress = e.loginAddress.ToText();
    if (e.peerAddress.sin_addr.s_addr != 0 && (e.UseTcp || e.UseFixedIP || e.online))
        s.peer = e.peerAddress.ToText() + ":" + std::to_string(e.peerAddress.Port());
    s.statistics = e.statistics;
    s.statistics.lastError = e.lastError.English();
    s.lastError = e.lastError;
    s.reason = e.notServedReason;
    s.served = !s.reason;
    if (s.served)
        s.device = PortDevicePath(i);
    // The wall clock's time of that moment: now on the wall clock less how long ago it was.
    if (e.lastHeard != Clock::time_point())
        s.lastHeardMs = UnixMillisecondsNow()
                        - std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - e.lastHeard).count();
    const VirtualSerialPort* port = PortOf(e);
    s.inUse = s.served && port && port->InUse();
    if (const int failure = e.UseTcp ? e.tcpFailure : 0)
        s.linkFailure = Log::SystemReason(failure);
    return s;
}

void PortTable::ApplyEdit(int i, const PortConfig& fields)
{
    VirtualPortEntry& e = ports[i];
    const bool numberChanged = fields.PortNumber != e.PortNumber;
    FillRecord(i, fields);
    WakeOnlineWatch();  // the interval may have become shorter

    // A port of its own that was not served gets another try, whatever changed.
    if (numberChanged || (!settings.OnlyOnePort && e.notServedReason)) {
        StopPortLink(e);
        CloseVirtualPort(e);
    }
    DropTcpLink(e);
    const std::string name = PortName(e.PortNumber);
    if (!e.portHeld) {
        e.portHeld = 1;
        e.linkRunning = settings.OnlyOnePort ? 1 : (OpenVirtualPort(e, name) ? 1 : 0);
    }

    StartLinks(e);
}

void PortTable::RemovePort(int i)
{
    VirtualPortEntry& e = ports[i];
    if (sharedTarget == i) {
        int next = -1;
        for (int k = 0; k < MaxPorts; ++k) {
            if (k != i && ports[k].portHeld) {
                next = k;
                break;
            }
        }
        SetSharedTarget(next);
    }
    DropTcpLink(e);
    StopPortLink(e);
    if (settings.OnlyOnePort) {
        e.portHeld = 0;
    } else {
        CloseVirtualPort(e);
    }
    e.statistics = {};
    e.lastError = {};
    e.tcpConnected = 0;
    if (e.notServedReason)
        SetNotServed(e, {});
    // A port that takes this slot later must log in afresh.
    e.online = 0;
}

bool PortTable::AnyPortInUse() const
{
    return OnLoop([&] {
        if (settings.OnlyOnePort)
            return sharedControl && sharedControl->InUse();
        for (const VirtualPortEntry& e : ports) {
            if (e.PortNumber != 0 && e.control && e.control->InUse())
                return true;
        }
        return false;
    });
}

VirtualSerialPort* PortTable::PortOf(const VirtualPortEntry& entry) const
{
    return settings.OnlyOnePort ? sharedControl : entry.control;
}

std::string PortTable::PortDevicePath(int i) const
{
    VirtualSerialPort* port = PortOf(ports[i]);
    return port ? port->DevicePath() : std::string();
}

bool PortTable::SelectSharedTarget(const std::string& code)
{
    return OnLoop([&] {
        if (code.empty())
            return false;
        int found = -1;
        for (int i = 0; i < MaxPorts; ++i) {
            if (ports[i].portHeld && EqualsIgnoringLetterCase(ports[i].Code, code)) {
                found = i;
                break;
            }
        }
        if (found < 0)
            return false;
        SetSharedTarget(found);
        return true;
    });
}

std::string PortTable::GetSharedTargetCode() const
{
    return OnLoop([&] {
        if (sharedTarget < 0 || sharedTarget >= MaxPorts)
            return std::string("#NoSelected");
        return ports[sharedTarget].Code;
    });
}

void PortTable::SetSharedTarget(int i)
{
    sharedTarget = i;
    if (i >= 0 && i < MaxPorts)
        ports[i].WakePump();
}
