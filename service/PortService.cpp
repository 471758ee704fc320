#include "service/PortService.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/Log.h"
#include "vport/VirtualSerialPort.h"

namespace {

std::string PortLabel(const PortStatus& port)
{
    return port.Name() + " (DTU \"" + Log::Printable(port.config.Code) + "\")";
}

// Said when the loop did not take a change within its bound; false, for the caller to return.
bool NotAnsweringSaid(const std::string& what)
{
    Log::Error(what + " now: the data path is not answering (for "
               + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(PortTable::CommandBound).count())
               + " s)");
    return false;
}

int64_t SteadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

PortService::PortService(const char* serverAddress, QObject* parent)
    : QObject(parent), table_(std::make_unique<PortTable>(Clock::Steady(), settings_, sites_, serverAddress))
{
    watchTimer_.setInterval(WatchIntervalMs);
    connect(&watchTimer_, &QTimer::timeout, this, &PortService::Summarize);
    toldFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (toldFd_ < 0) {
        // Without it the statuses are still looked at, at each summary.
        Log::Error("cannot make an eventfd for the data path's news: " + Log::SystemReason(errno));
        connect(&watchTimer_, &QTimer::timeout, this, &PortService::Watch);
        return;
    }
    told_ = std::make_unique<QSocketNotifier>(toldFd_, QSocketNotifier::Read);
    connect(told_.get(), &QSocketNotifier::activated, this, [this] {
        uint64_t count = 0;
        (void)!read(toldFd_, &count, sizeof count);
        Watch();
    });
    table_->WhenPublished([this] { Told(); });
}

// The teardown (every link, then the network) is the port table's destruction, first: its
// loop tells this service of what it publishes until it ends.
PortService::~PortService()
{
    table_.reset();
    told_.reset();
    if (toldFd_ >= 0)
        close(toldFd_);
}

PortTable::NetworkResult PortService::StartNetwork()
{
    store_.RemoveLeftovers();
    // The file is read once: the settings now, the ports when they start.
    startConfig_ = std::make_unique<StoredConfig>(store_.Load());
    settings_ = startConfig_->settings;
    if (const Reason& failure = store_.LastFailure()) {
        startNotices_.push_back(failure);
        // Only a line that is no setting leaves the rest of the file in use.
        if (failure.kind != Reason::Kind::ConfigNotSetting) {
            const Reason unused(Reason::Kind::DefaultSettingsUsed, store_.FileName());
            Log::Warning(unused.English());
            startNotices_.push_back(unused);
        }
    }
    if (!table_->UseSettings(settings_))
        NotAnsweringSaid("cannot start the ports with their settings");
    const PortTable::NetworkResult result = table_->StartNetwork();
    if (result == PortTable::NetworkResult::HostNameFailed)
        Log::Error("cannot start the network: gethostname: " + Log::SystemReason(errno));
    else if (result == PortTable::NetworkResult::NotAnswering)
        NotAnsweringSaid("cannot start the network");
    else if (result == PortTable::NetworkResult::PortTaken)
        startNotices_.push_back(table_->NetworkFailure());
    udpPortWaiting_ = result == PortTable::NetworkResult::PortTaken;
    return result;
}

void PortService::StartPorts()
{
    if (!table_->PrepareSlots())
        NotAnsweringSaid("cannot prepare the ports");
    for (int i = 0; i < PortTable::MaxPorts; ++i) {
        if (startConfig_ && startConfig_->ports[i])
            Open(i, *startConfig_->ports[i]);
    }
    startConfig_.reset();
    // The first look reports the links already up and the DTUs already logged in.
    watchTimer_.start();
    Told();
    emit PortsChanged();
}

void PortService::Shutdown()
{
    watchTimer_.stop();
    // Drops of the last minute are said before the ports go, not lost from the log.
    table_->PublishNow(PortTable::CommandBound);
    droppedSummary_.resize(PortTable::MaxPorts);
    for (int slot = 0; slot < PortTable::MaxPorts; ++slot) {
        if (InService(slot))
            ReportDropped(table_->Status(slot), SteadyMilliseconds(), true);
    }
    if (!table_->CloseAll() || !table_->StopNetwork())
        NotAnsweringSaid("cannot close the ports");
    ReportNetworkEvents(true);
}

PortError PortService::Check(const PortConfig& fields)
{
    if (fields.PortNumber < MinNumber || fields.PortNumber > MaxNumber)
        return {PortError::Kind::NumberOutOfRange};
    if (fields.Code.size() > MaxCodeBytes)
        return {PortError::Kind::CodeTooLong};
    if (fields.LoginInterval < MinInterval || fields.LoginInterval > MaxInterval)
        return {PortError::Kind::IntervalOutOfRange};
    if (fields.FrameGap < 0 || fields.FrameGap > PortConfig::MaxFrameGap)
        return {PortError::Kind::FrameGapOutOfRange};
    if (fields.NetPort < 0 || fields.NetPort > PortConfig::MaxNetPort)
        return {PortError::Kind::NetPortOutOfRange};
    if (fields.NetMode != "rfc2217" && fields.NetMode != "raw")
        return {PortError::Kind::NetModeInvalid};
    return {};
}

PortError PortService::ParseAddress(const std::string& text, std::string& peerIp)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return {PortError::Kind::InvalidAddress, {}, text};
    peerIp = SocketAddress().SetInAddr(parsed.s_addr, 0).ToText();
    return {};
}

bool PortService::NetPortTaken(int netPort, int slot) const
{
    if (netPort == 0)
        return false;
    const std::shared_ptr<const PublishedPorts> ports = table_->Published();
    for (int i = 0; i < PortTable::MaxPorts; ++i) {
        const PortStatus* port = ports->Find(i);
        if (i != slot && port && port->config.NetPort == netPort)
            return true;
    }
    return false;
}

bool PortService::InService(int slot) const
{
    return table_->InService(slot);
}

PortError PortService::Add(PortConfig fields, int* slot)
{
    if (!Answering())
        return {PortError::Kind::NotAnswering};
    if (settings_.OnlyOnePort)
        fields.PortNumber = settings_.VPortNo;
    if (PortError error = Check(fields))
        return error;
    if (!settings_.OnlyOnePort && table_->FindPortByNumber(fields.PortNumber) != -1)
        return {PortError::Kind::NumberInUse};
    if (NetPortTaken(fields.NetPort, -1))
        return {PortError::Kind::NetPortInUse};
    if (table_->FindFreeSlot() == -1)
        return {PortError::Kind::TableFull};
    // Kept first: a port the file cannot keep is not made.
    int i = -1;
    const auto isFree = [this](int candidate) { return !InService(candidate); };
    if (PortError error = Saved(store_.SaveNewPortConfig(isFree, fields, &i)))
        return error;
    if (i == -1)
        return {PortError::Kind::TableFull};
    const bool made = Open(i, fields);
    if (slot)
        *slot = i;
    emit PortsChanged();
    return made ? PortError() : PortError(PortError::Kind::NotAnsweredYet);
}

PortError PortService::Edit(int slot, PortConfig fields)
{
    if (!Answering())
        return {PortError::Kind::NotAnswering};
    if (!InService(slot))
        return {PortError::Kind::NoSuchPort, "slot", std::to_string(PortStatus::SlotNumber(slot))};
    if (settings_.OnlyOnePort)
        fields.PortNumber = table_->SlotConfig(slot).PortNumber;
    if (PortError error = Check(fields))
        return error;
    const int found = settings_.OnlyOnePort ? -1 : table_->FindPortByNumber(fields.PortNumber);
    if (found != -1 && found != slot)
        return {PortError::Kind::NumberInUse};
    if (NetPortTaken(fields.NetPort, slot))
        return {PortError::Kind::NetPortInUse};
    // An address the edit does not change stays as the user wrote it (the dialog and the tool
    // give only the host).
    const std::string written = table_->SlotConfig(slot).PeerIP;
    if (StoredAddress(written).sin_addr.s_addr == StoredAddress(fields.PeerIP).sin_addr.s_addr)
        fields.PeerIP = written;
    if (PortError error = Saved(store_.SavePortConfig(slot, fields)))
        return error;
    const bool made = Edited(slot, fields);
    table_->RestoreLinks();
    emit PortsChanged();
    return made ? PortError() : PortError(PortError::Kind::NotAnsweredYet);
}

PortError PortService::Remove(int slot, bool force)
{
    if (!InService(slot))
        return {PortError::Kind::NoSuchPort, "slot", std::to_string(PortStatus::SlotNumber(slot))};
    // In shared-port mode the port stays for the other DTUs: nobody loses it.
    if (!force && !settings_.OnlyOnePort) {
        const std::optional<bool> inUse = table_->InUse(slot);
        if (!inUse)
            return {PortError::Kind::NotAnswering};
        if (*inUse)
            return {PortError::Kind::PortInUse};
    }
    if (!force && settings_.OnlyOnePort && !Answering())
        return {PortError::Kind::NotAnswering};
    if (PortError error = Saved(store_.DeletePortConfig(slot)))
        return error;
    const bool made = Close(slot);
    emit PortsChanged();
    return made ? PortError() : PortError(PortError::Kind::NotAnsweredYet);
}

bool PortService::Answering() const
{
    return table_->PublishNow(PortTable::CommandBound);
}

bool PortService::Open(int slot, const PortConfig& fields)
{
    // A port the loop takes later gets its row from the next look (Watch).
    if (!table_->OpenSlot(slot, fields))
        return NotAnsweringSaid("cannot open the port of slot " + std::to_string(PortStatus::SlotNumber(slot)));
    rows_.Append(table_->Status(slot));
    return true;
}

bool PortService::Close(int slot)
{
    // A port the loop closes later loses its row at the next look (Watch).
    if (!table_->CloseSlot(slot))
        return NotAnsweringSaid("cannot close the port of slot " + std::to_string(PortStatus::SlotNumber(slot)));
    rows_.Remove(slot);
    return true;
}

bool PortService::Edited(int slot, const PortConfig& fields)
{
    if (!table_->EditSlot(slot, fields))
        return NotAnsweringSaid("cannot change the port of slot " + std::to_string(PortStatus::SlotNumber(slot)));
    rows_.Update(table_->Status(slot));
    return true;
}

std::chrono::milliseconds PortService::CatchUp() const
{
    return table_->PublishNow() ? std::chrono::milliseconds(0) : table_->PublishedAge();
}

std::optional<LineState> PortService::LineSettings(int slot) const
{
    const std::shared_ptr<const PublishedPorts> ports = table_->Published();
    const PortStatus* port = ports->Find(slot);
    return port ? LineSettings(*port) : std::nullopt;
}

std::optional<LineState> PortService::LineSettings(const PortStatus& port)
{
    if (port.netLine)
        return port.netLine;
    if (!port.inUse || port.device.empty())
        return std::nullopt;
    return LineState::ForLink(port.device);
}

bool PortService::AnyPortInUse() const
{
    if (const std::optional<bool> inUse = table_->AnyPortInUse(PortTable::CatchUpBound))
        return *inUse;
    const std::vector<PortStatus> ports = Snapshot();
    return std::any_of(ports.begin(), ports.end(), [](const PortStatus& port) { return port.inUse; });
}

bool PortService::SelectSharedTarget(const std::string& code)
{
    if (const std::optional<bool> selected = table_->SelectSharedTarget(code))
        return *selected;
    return NotAnsweringSaid("cannot select the DTU \"" + Log::Printable(code) + "\"");
}

PortError PortService::SaveSettings(const GlobalSettings& entered) const
{
    return Saved(store_.SaveSettings(entered));
}

PortError PortService::Saved(const Reason& failure)
{
    using K = Reason::Kind;
    switch (failure.kind) {
    case K::None: return {};
    case K::ConfigNotRegularFile: return {PortError::Kind::ConfigNotRegularFile, {}, {}, failure};
    case K::ConfigTooLarge: return {PortError::Kind::ConfigTooLarge, {}, {}, failure};
    case K::ConfigUnreadable: return {PortError::Kind::ConfigUnreadable, {}, {}, failure};
    case K::ConfigNotSetting: return {PortError::Kind::ConfigNotSettings, {}, {}, failure};
    default: return {PortError::Kind::SaveFailed, {}, {}, failure};
    }
}

int PortService::OpenTrace(const std::vector<int>& watched)
{
    // A stream socket: the loop's end never blocks it and learns of a reader that went away.
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        Log::Error("cannot open a trace: " + Log::SystemReason(errno));
        return -1;
    }
    if (!table_->AddTraceWatcher(ends[1], watched)) {
        // The loop takes its end later and finds nobody reading.
        close(ends[0]);
        NotAnsweringSaid("cannot open a trace");
        return -1;
    }
    return ends[0];
}

GlobalStatistics PortService::Statistics() const
{
    const PortTable::Unmatched unmatched = table_->UnmatchedDatagrams();
    GlobalStatistics statistics;
    statistics.unknownCodeDatagrams = unmatched.count;
    if (unmatched.count > 0)
        statistics.lastUnknownSource = PortTrace::AddressText(unmatched.source);
    return statistics;
}

std::vector<PortStatus> PortService::Snapshot() const
{
    std::vector<PortStatus> ports;
    for (std::optional<PortStatus>& port : table_->Statuses()) {
        if (port)
            ports.push_back(std::move(*port));
    }
    return ports;
}

std::optional<PortStatus> PortService::StatusOf(int slot) const
{
    if (!InService(slot))
        return std::nullopt;
    return table_->Status(slot);
}

void PortService::Told()
{
    const uint64_t one = 1;
    if (!watchPosted_.exchange(true))
        (void)!write(toldFd_, &one, sizeof one);
}

void PortService::Summarize()
{
    droppedSummary_.resize(PortTable::MaxPorts);
    const int64_t now = SteadyMilliseconds();
    for (const std::shared_ptr<const PortStatus>& port : lastSeen_)
        if (port)
            ReportDropped(*port, now);
    ReportNetworkEvents();
}

void PortService::Watch()
{
    watchPosted_ = false;
    // Before the ports start and after they end, nothing is watched.
    if (!watchTimer_.isActive())
        return;
    lastSeen_.resize(PortTable::MaxPorts);
    droppedSummary_.resize(PortTable::MaxPorts);
    const int64_t now = SteadyMilliseconds();
    const std::shared_ptr<const PublishedPorts> published = table_->Published();
    for (int slot = 0; slot < PortTable::MaxPorts; ++slot) {
        std::shared_ptr<const PortStatus>& before = lastSeen_[static_cast<size_t>(slot)];
        const std::shared_ptr<const PortStatus>& status = published->statuses[static_cast<size_t>(slot)];
        if (status == before)
            continue;
        if (!status) {
            if (before)
                emit PortRemoved(slot, before->config.PortNumber, before->config.Code);
            before.reset();
            if (rows_.RowOf(slot) >= 0)
                rows_.Remove(slot);
            continue;
        }
        const PortStatus& port = *status;
        // A port the loop took after its command gave up on it has no row yet.
        if (rows_.RowOf(slot) < 0)
            rows_.Append(port);
        else
            rows_.Update(port);
        if (!before)
            droppedSummary_[static_cast<size_t>(slot)] = RepeatSummary();  // a new port counts from 0
        ReportDropped(port, now);
        if (before)
            ReportReconnects(*before, port);
        // Byte counts alone are no change: with 200 busy ports they would be 400 signals a
        // second on the bus, each costing the main thread, the bus and every listener.
        if (!before || !before->SameStateAs(port)) {
            ReportEvents(before ? *before : PortStatus{}, port);
            emit PortStateChanged(port);
        }
        before = status;
    }
    ReportNetworkEvents();
}

// A DTU that hangs up and is connected again between two looks changes no state, but the
// user still learns that its connection ended.
void PortService::ReportReconnects(const PortStatus& before, const PortStatus& now)
{
    const uint64_t ended = now.statistics.tcpDisconnects - before.statistics.tcpDisconnects;
    if (!now.config.UseTcp || !before.online || !now.online || ended == 0)
        return;
    Log::Warning(PortLabel(now) + ": TCP link to " + now.peer + " ended"
                 + (ended == 1 ? "" : " " + std::to_string(ended) + " times") + " and was connected again");
}

void PortService::ReportEvents(const PortStatus& before, const PortStatus& now)
{
    // Why a served port cannot hear or reach its DTU, once per change (a failing link is said
    // below, with its retries).
    if (now.served && now.reason && now.reason != before.reason && now.reason.kind != Reason::Kind::TcpAttemptFailed) {
        if (now.reason.kind == Reason::Kind::TcpWaitsForLogin)
            Log::Notice(PortLabel(now) + ": " + now.reason.English());
        else
            Log::Warning(PortLabel(now) + ": " + now.reason.English());
    }
    if (now.config.UseTcp) {
        if (now.online && !before.online)
            Log::Notice(PortLabel(now) + ": TCP link to " + now.peer + " up");
        else if (!now.online && before.online)
            Log::Warning(PortLabel(now) + ": TCP link to " + now.peer + " down");
        // Once per change: a DTU that keeps refusing is said once, not at every attempt.
        if (!now.linkFailure.empty() && now.linkFailure != before.linkFailure)
            Log::Warning(PortLabel(now) + ": cannot connect to the DTU at " + now.peer + ": " + now.linkFailure
                         + "; trying again every second");
    } else if (now.online && now.peer != before.peer) {
        Log::Notice(PortLabel(now) + ": DTU logged in from " + now.peer);
    } else if (!now.online && before.online) {
        Log::Warning(PortLabel(now) + ": DTU at " + before.peer
                     + " went offline: nothing heard from it for longer than "
                       "its login interval ("
                     + std::to_string(now.config.LoginInterval) + " s)");
    }
}

// UDP cannot hold a DTU back: what an application does not read in time is lost. Said when it
// starts and then at most once a minute while it goes on, never per datagram.
void PortService::ReportDropped(const PortStatus& port, int64_t nowMs, bool ending)
{
    RepeatSummary& summary = droppedSummary_[static_cast<size_t>(port.slot)];
    const uint64_t dropped = port.statistics.bytesDropped;
    const auto due = ending ? summary.Rest(dropped) : summary.Due(dropped, nowMs);
    if (!due)
        return;
    Log::Error(PortLabel(port) + ": the application does not read fast enough; " + std::to_string(due->count)
               + (due->first ? "" : " more") + (due->count == 1 ? " byte" : " bytes") + " from the DTU "
               + (due->count == 1 ? "was" : "were") + " dropped"
               + (due->first && !ending ? "; more are summed up here at most once a minute" : ""));
}

void PortService::ReportNetworkEvents(bool ending)
{
    if (udpPortWaiting_ && table_->UdpPortOpen()) {
        udpPortWaiting_ = false;
        Log::Notice("UDP port " + std::to_string(table_->UdpPort()) + " is free now and taken; DTUs can log in");
    }
    const PortTable::Unmatched unmatched = table_->UnmatchedDatagrams();
    const auto due = ending ? unmatchedSummary_.Rest(unmatched.count)
                            : unmatchedSummary_.Due(unmatched.count, SteadyMilliseconds());
    if (!due)
        return;
    const std::string latest = "code \"" + Log::Printable(unmatched.code) + "\" from " + unmatched.source.ToText() + ":"
                               + std::to_string(unmatched.source.Port());
    const std::string count = std::to_string(due->count) + (due->first ? "" : " more")
                              + (due->count == 1 ? " datagram" : " datagrams");
    Log::Warning(count + " matched no port and " + (due->count == 1 ? "was" : "were") + " dropped, the latest with "
                 + latest + (due->first && !ending ? "; more are summed up here at most once a minute" : ""));
}

void PortService::Reload()
{
    // A file read only in part (or not at all) would close ports the user still wants.
    const StoredConfig loaded = store_.Load();
    if (store_.LastFailure()) {
        Log::Error("the ports stay as they are until the configuration file is mended");
        return;
    }
    const GlobalSettings& stored = loaded.settings;
    if (stored.OnlyOnePort != settings_.OnlyOnePort || stored.SocketPort != settings_.SocketPort
        || stored.VPortNo != settings_.VPortNo)
        // What the user changed does not apply yet: more than a notice.
        Log::Warning("the configuration file changes the global settings (mode, SocketPort, VPortNo); "
                     "they apply at the next start");

    std::vector<int> closing, opening, editing;
    std::map<int, PortConfig> wanted;
    int unchanged = 0;
    for (int i = 0; i < PortTable::MaxPorts; ++i) {
        const bool configured = loaded.ports[i].has_value();
        if (configured) {
            wanted[i] = *loaded.ports[i];
            if (settings_.OnlyOnePort)
                wanted[i].PortNumber = InService(i) ? table_->SlotConfig(i).PortNumber : settings_.VPortNo;
        }
        const bool running = InService(i);
        const PortConfig now = running ? table_->SlotConfig(i) : PortConfig{};
        // A dynamic port that stays one keeps the address its DTU logged in from.
        if (running && configured && !now.UseFixedIP && !wanted[i].UseFixedIP && now.UseTcp == wanted[i].UseTcp)
            wanted[i].PeerIP = now.PeerIP;
        if (running && configured && SameConfig(now, wanted[i])) {
            ++unchanged;
            continue;
        }
        // A served port that keeps its number changes as an edit changes it: it stays in
        // service, and in shared-port mode the selected DTU stays selected.
        if (running && configured && wanted[i].PortNumber == now.PortNumber
            && (settings_.OnlyOnePort || table_->Status(i).served)) {
            editing.push_back(i);
            continue;
        }
        if (running)
            closing.push_back(i);
        if (configured)
            opening.push_back(i);
    }
    // The ports as the log names them ("COM7 (slot 2)"): a closed one by the number it had, the
    // others by the number they get.
    std::vector<std::string> restarted, closed, opened;
    const auto label = [](int i, const PortConfig& config) {
        return PortTable::PortName(config.PortNumber) + " (slot " + std::to_string(PortStatus::SlotNumber(i)) + ")";
    };
    for (int i : editing)
        restarted.push_back(label(i, wanted[i]));
    for (int i : closing) {
        if (wanted.count(i))
            restarted.push_back(label(i, wanted[i]));
        else
            closed.push_back(label(i, table_->SlotConfig(i)));
    }
    for (int i : opening)
        if (std::find(closing.begin(), closing.end(), i) == closing.end())
            opened.push_back(label(i, wanted[i]));
    // All that go first, so a number moving from one slot to another is free when it opens.
    for (int i : closing)
        Close(i);
    for (int i : editing)
        Edited(i, wanted[i]);
    for (int i : opening)
        Open(i, wanted[i]);
    // Unchanged ports keep running, but a link removed by hand is made again.
    table_->RestoreLinks();
    const auto counted = [](const std::vector<std::string>& ports, const char* what) {
        std::string text = std::to_string(ports.size()) + " " + what;
        for (size_t k = 0; k < ports.size(); ++k)
            text += (k == 0 ? " (" : ", ") + ports[k] + (k + 1 == ports.size() ? ")" : "");
        return text;
    };
    Log::Notice("configuration reloaded: " + std::to_string(unchanged) + " unchanged, "
                + counted(restarted, "restarted") + ", " + counted(closed, "closed") + ", "
                + counted(opened, "opened"));
    emit PortsChanged();
}
