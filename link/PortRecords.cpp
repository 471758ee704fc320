#include "link/PortRecords.h"

#include <algorithm>
#include <chrono>

#include "link/PortTrace.h"
#include "net/Log.h"
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

bool SameAddress(const SocketAddress& a, const SocketAddress& b)
{
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

}  // namespace

void VirtualPortEntry::NoteError(Reason error)
{
    lastError = std::move(error);
    statistics.lastErrorMs = UnixMillisecondsNow();
}

PortRecords::PortRecords()
{
    for (int i = 0; i < Count; ++i)
        records_[i].index = i;
}

void PortRecords::Reset(int i)
{
    VirtualPortEntry& e = records_[i];
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
    e.NetPort = 0;
    e.NetMode = PortConfig::DefaultNetMode;
    e.netClient = SocketAddress();
    e.netFailure = {};
    e.lastHeard = {};
    e.statistics = {};
    e.lastError = {};
    e.notServedReason = {};
}

void PortRecords::Fill(int i, const PortConfig& config, const SocketAddress& configured)
{
    VirtualPortEntry& e = records_[i];
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
    e.NetPort = config.NetPort;
    e.NetMode = config.NetMode;
}

int PortRecords::FindFree() const
{
    for (int i = 0; i < Count; ++i) {
        if (!records_[i].portHeld)
            return i;
    }
    return -1;
}

int PortRecords::FindByNumber(int number) const
{
    for (int i = 0; i < Count; ++i) {
        if (records_[i].portHeld && records_[i].PortNumber == number)
            return i;
    }
    return -1;
}

int PortRecords::FindByCode(const std::string& code) const
{
    for (int i = 0; i < Count; ++i) {
        if (records_[i].portHeld && records_[i].Code == code)
            return i;
    }
    return -1;
}

int PortRecords::FindByCodeIgnoringCase(const std::string& code) const
{
    for (int i = 0; i < Count; ++i) {
        if (records_[i].portHeld && EqualsIgnoringLetterCase(records_[i].Code, code))
            return i;
    }
    return -1;
}

int PortRecords::FindOtherThan(int slot) const
{
    for (int i = 0; i < Count; ++i) {
        if (i != slot && records_[i].portHeld)
            return i;
    }
    return -1;
}

PortConfig PortRecords::ConfigOf(const VirtualPortEntry& e)
{
    PortConfig config;
    config.PortNumber = e.PortNumber;
    config.UseFixedIP = e.UseFixedIP;
    config.PeerIP = e.peerAddress.ToText();
    config.Code = e.Code;
    config.LoginInterval = e.LoginInterval;
    config.UseTcp = e.UseTcp;
    config.FrameGap = e.FrameGap;
    config.NetPort = e.NetPort;
    config.NetMode = e.NetMode;
    return config;
}

PortStatus PortRecords::StatusOf(const VirtualPortEntry& e, const VirtualSerialPort* port, Clock::time_point now)
{
    PortStatus s;
    s.slot = e.index;
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
    if (s.served && port)
        s.device = port->DevicePath();
    // The wall clock's time of that moment: now on the wall clock less how long ago it was.
    if (e.lastHeard != Clock::time_point())
        s.lastHeardMs = UnixMillisecondsNow()
                        - std::chrono::duration_cast<std::chrono::milliseconds>(now - e.lastHeard).count();
    s.inUse = s.served && port && port->InUse();
    if (const int failure = e.UseTcp ? e.tcpFailure : 0)
        s.linkFailure = Log::SystemReason(failure);
    if (e.netClient.sin_port != 0)
        s.netClient = PortTrace::AddressText(e.netClient);
    s.netFailure = e.netFailure;
    return s;
}

PortRecords::StatusSource PortRecords::SourceOf(const VirtualPortEntry& e, const VirtualSerialPort* port)
{
    StatusSource s;
    s.portHeld = e.portHeld;
    s.PortNumber = e.PortNumber;
    s.UseFixedIP = e.UseFixedIP;
    s.LoginInterval = e.LoginInterval;
    s.Code = e.Code;
    s.UseTcp = e.UseTcp;
    s.FrameGap = e.FrameGap;
    s.online = e.online;
    s.tcpConnected = e.tcpConnected;
    s.tcpFailure = e.tcpFailure;
    s.peerAddress = e.peerAddress;
    s.loginAddress = e.loginAddress;
    s.lastHeard = e.lastHeard;
    s.statistics = e.statistics;
    s.lastError = e.lastError;
    s.notServedReason = e.notServedReason;
    s.NetPort = e.NetPort;
    s.NetMode = e.NetMode;
    s.netClient = e.netClient;
    s.netFailure = e.netFailure;
    s.inUse = port && port->InUse();
    return s;
}

bool PortRecords::StatusSource::Matches(const VirtualPortEntry& e, bool inUseNow) const
{
    for (const StatisticsCounter& counter : PortCounters) {
        if (statistics.*counter.field != e.statistics.*counter.field)
            return false;
    }
    return portHeld == e.portHeld && PortNumber == e.PortNumber && UseFixedIP == e.UseFixedIP
           && LoginInterval == e.LoginInterval && UseTcp == e.UseTcp && FrameGap == e.FrameGap && online == e.online
           && tcpConnected == e.tcpConnected && tcpFailure == e.tcpFailure && SameAddress(peerAddress, e.peerAddress)
           && SameAddress(loginAddress, e.loginAddress) && lastHeard == e.lastHeard
           && statistics.lastErrorMs == e.statistics.lastErrorMs && inUse == inUseNow && Code == e.Code
           && lastError == e.lastError && notServedReason == e.notServedReason && NetPort == e.NetPort
           && NetMode == e.NetMode && SameAddress(netClient, e.netClient) && netFailure == e.netFailure;
}
