#include "link/PortRecords.h"

#include <algorithm>
#include <chrono>
#include <unordered_map>

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

// Why a served port cannot hear or reach its DTU now; none when nothing stands in its way.
Reason AttentionOf(const VirtualPortEntry& e)
{
    if (e.shadowedBy)
        return e.shadowedBy;
    const std::string name = PortStatus::PortName(e.config.PortNumber);
    if (!e.peerAddress.IsPeer()) {
        if (!e.config.PeerIP.empty() && !SocketAddress().ParseStored(e.config.PeerIP, 0))
            return {Reason::Kind::PeerIpRefused, name, e.config.PeerIP};
        const std::string address = PortTrace::AddressText(e.peerAddress);
        if (e.config.UseFixedIP)
            return {e.config.UseTcp ? Reason::Kind::NoTcpAddress : Reason::Kind::NoFixedAddress, name, address};
        if (e.config.UseTcp)
            return {Reason::Kind::TcpWaitsForLogin, name};
    }
    if (e.config.UseTcp && !e.tcpConnected && e.tcpFailure != 0)
        return {Reason::Kind::TcpAttemptFailed, PortTrace::AddressText(e.peerAddress), {}, e.tcpFailure};
    return {};
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
    e.config = PortConfig();
    e.peerAddress = SocketAddress();
    e.loginAddress = SocketAddress();
    e.online = 0;
    e.tcpConnected = 0;
    e.tcpFailure = 0;
    e.netClient = SocketAddress();
    e.netFailure = {};
    e.lastHeard = {};
    e.statistics = {};
    e.lastError = {};
    e.notServedReason = {};
    e.shadowedBy = {};
}

void PortRecords::Fill(int i, const PortConfig& config, const SocketAddress& configured)
{
    VirtualPortEntry& e = records_[i];
    // A dynamic UDP port that stays one keeps the address its DTU logged in from, the DTU's
    // own port included, while PeerIP still names it: its bytes keep going there.
    const bool keepsLogin = e.portHeld && !e.config.UseFixedIP && !e.config.UseTcp && !config.UseFixedIP
                            && !config.UseTcp && e.peerAddress.sin_addr.s_addr == configured.sin_addr.s_addr;
    if (!keepsLogin)
        e.peerAddress = configured;
    e.config = config;
    // The callers check the range; a pump never waits beyond it whatever they pass.
    e.config.FrameGap = std::clamp(config.FrameGap, 0, PortConfig::MaxFrameGap);
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
        if (records_[i].portHeld && records_[i].config.PortNumber == number)
            return i;
    }
    return -1;
}

int PortRecords::FindByCode(const std::string& code) const
{
    for (int i = 0; i < Count; ++i) {
        if (records_[i].portHeld && records_[i].config.Code == code)
            return i;
    }
    return -1;
}

int PortRecords::FindByCodeIgnoringCase(const std::string& code) const
{
    for (int i = 0; i < Count; ++i) {
        if (records_[i].portHeld && EqualsIgnoringLetterCase(records_[i].config.Code, code))
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

void PortRecords::MarkShadowed()
{
    // The first record in service of each code among the dynamic ones, and of each usable
    // address among the fixed ones: what the scan reaches first.
    std::unordered_map<std::string, int> firstByCode;
    std::unordered_map<uint64_t, int> firstByAddress;
    auto key = [](const SocketAddress& a) { return uint64_t{a.sin_addr.s_addr} << 16 | a.sin_port; };
    for (VirtualPortEntry& e : records_) {
        e.shadowedBy = {};
        if (!e.portHeld || e.notServedReason)
            continue;
        const bool fixed = e.config.UseFixedIP != 0;
        if (fixed && !e.peerAddress.IsPeer())
            continue;  // no datagram comes from there: it shadows nothing and says why itself
        int by = -1;
        bool byAddress = false;
        if (const auto code = firstByCode.find(e.config.Code); code != firstByCode.end())
            by = code->second;
        if (fixed) {
            const auto address = firstByAddress.find(key(e.peerAddress));
            if (address != firstByAddress.end() && (by < 0 || address->second < by)) {
                by = address->second;
                byAddress = records_[by].config.Code != e.config.Code;
            }
            firstByAddress.emplace(key(e.peerAddress), e.index);
        } else {
            firstByCode.emplace(e.config.Code, e.index);
        }
        if (by >= 0)
            e.shadowedBy = {byAddress ? Reason::Kind::DtuTakenByAddress : Reason::Kind::DtuTakenByCode,
                            PortStatus::PortName(records_[by].config.PortNumber),
                            std::to_string(PortStatus::SlotNumber(by))};
    }
}

PortConfig PortRecords::ConfigOf(const VirtualPortEntry& e)
{
    PortConfig config = e.config;
    // The address as the user wrote it, while it is still the one the text names.
    const bool asWritten = !e.config.PeerIP.empty()
                           && StoredAddress(e.config.PeerIP).sin_addr.s_addr == e.peerAddress.sin_addr.s_addr;
    if (!asWritten)
        config.PeerIP = e.peerAddress.ToText();
    return config;
}

PortStatus PortRecords::StatusOf(const VirtualPortEntry& e, const VirtualSerialPort* port, Clock::time_point now)
{
    PortStatus s;
    s.slot = e.index;
    s.online = e.config.UseTcp ? e.tcpConnected != 0 : e.online != 0;
    s.config = ConfigOf(e);
    if (!e.config.UseFixedIP && e.loginAddress.sin_addr.s_addr != 0)
        s.loginAddress = e.loginAddress.ToText();
    if (e.peerAddress.sin_addr.s_addr != 0 && (e.config.UseTcp || e.config.UseFixedIP || e.online))
        s.peer = e.peerAddress.ToText() + ":" + std::to_string(e.peerAddress.Port());
    s.statistics = e.statistics;
    s.statistics.lastError = e.lastError.English();
    s.lastError = e.lastError;
    s.served = !e.notServedReason;
    s.reason = s.served ? AttentionOf(e) : e.notServedReason;
    if (s.served && port)
        s.device = port->DevicePath();
    // The wall clock's time of that moment: now on the wall clock less how long ago it was.
    if (e.lastHeard != Clock::time_point())
        s.lastHeardMs = UnixMillisecondsNow()
                        - std::chrono::duration_cast<std::chrono::milliseconds>(now - e.lastHeard).count();
    s.inUse = s.served && port && port->InUse();
    if (const int failure = e.config.UseTcp ? e.tcpFailure : 0)
        s.linkFailure = Log::SystemReason(failure);
    if (e.netClient.sin_port != 0) {
        s.netClient = PortTrace::AddressText(e.netClient);
        if (port)
            s.netLine = port->LineSettings();
    }
    s.netFailure = e.netFailure;
    return s;
}

PortRecords::StatusSource PortRecords::SourceOf(const VirtualPortEntry& e, const VirtualSerialPort* port)
{
    StatusSource s;
    s.portHeld = e.portHeld;
    s.config = e.config;
    s.online = e.online;
    s.tcpConnected = e.tcpConnected;
    s.tcpFailure = e.tcpFailure;
    s.peerAddress = e.peerAddress;
    s.loginAddress = e.loginAddress;
    s.lastHeard = e.lastHeard;
    s.statistics = e.statistics;
    s.lastError = e.lastError;
    s.notServedReason = e.notServedReason;
    s.shadowedBy = e.shadowedBy;
    s.netClient = e.netClient;
    s.netLineChanges = e.netLineChanges;
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
    // PeerIP as written: the status shows the text while it still names the address.
    return portHeld == e.portHeld && SameConfig(config, e.config) && config.PeerIP == e.config.PeerIP
           && online == e.online && tcpConnected == e.tcpConnected && tcpFailure == e.tcpFailure
           && SameAddress(peerAddress, e.peerAddress) && SameAddress(loginAddress, e.loginAddress)
           && lastHeard == e.lastHeard && statistics.lastErrorMs == e.statistics.lastErrorMs && inUse == inUseNow
           && lastError == e.lastError && notServedReason == e.notServedReason && shadowedBy == e.shadowedBy
           && SameAddress(netClient, e.netClient) && netLineChanges == e.netLineChanges && netFailure == e.netFailure;
}
