#include "link/PortTable.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <unistd.h>

#include "net/Log.h"
#include "vport/PtyMonitor.h"
#include "vport/VirtualPortSites.h"
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

template <class F>
auto PortTable::Command(F fn, std::chrono::milliseconds bound) -> std::optional<std::invoke_result_t<F&>>
{
    using Result = std::invoke_result_t<F&>;
    auto run = [this, fn = std::move(fn)]() mutable {
        // Published however fn ends, its result still to be returned.
        struct PublishAtEnd {
            PortTable& table;
            ~PublishAtEnd()
            {
                table.intake_->RecordsChanged();
                table.Publish();
            }
        } publish{*this};
        return fn();
    };
    EventLoop& loop = pumpLoop_.Loop();
    if (turning_ == Turning::ByOwner || loop.InLoopThread())
        return run();
    const auto now = std::chrono::steady_clock::now();
    const auto deadline = now + bound;
    std::unique_lock<std::mutex> hold(answerMutex_);
    // One command the loop has not run yet holds back the next: they run in order, and a stuck
    // loop gets no queue of them. One it has not run for a whole bound holds the next back only
    // as long as a catch-up waits, so a stuck loop costs one bound, not one a command.
    const auto waitFor = unanswered_ ? std::min(deadline, std::max(postedAt_ + bound, now + CatchUpBound)) : deadline;
    if (!answered_.wait_until(hold, waitFor, [this] { return unanswered_ == 0; }))
        return std::nullopt;
    ++unanswered_;
    postedAt_ = now;
    hold.unlock();
    auto answer = std::make_shared<std::optional<Result>>();
    const bool posted = loop.Post([this, answer, run]() mutable {
        Result result = run();
        {
            std::lock_guard<std::mutex> done(answerMutex_);
            *answer = std::move(result);
            --unanswered_;
        }
        answered_.notify_all();
    });
    hold.lock();
    if (!posted) {
        --unanswered_;
        return std::nullopt;
    }
    answered_.wait_until(hold, deadline, [&] { return answer->has_value(); });
    return *answer;
}

template <class F>
bool PortTable::Perform(F fn)
{
    return Command([fn = std::move(fn)]() mutable {
               fn();
               return true;
           })
        .has_value();
}

PortTable::PortTable(Clock& clock, GlobalSettings settings, VirtualPortSites& sites, const char* serverAddress,
                     Turning turning)
    : clock_(clock), settings_(std::move(settings)), sites_(sites), serverAddress_(serverAddress), turning_(turning),
      pumpLoop_(clock, turning)
{
    SocketAddress local;
    local.Parse(serverAddress);
    EventLoop& loop = pumpLoop_.Loop();
    trace_ = std::make_unique<PortTrace>(loop);
    DatagramIntake::Host& intakeHost = *this;
    TcpLinks::Host& linksHost = *this;
    intake_ = std::make_unique<DatagramIntake>(loop, local, records_, *trace_, intakeHost);
    links_ = std::make_unique<TcpLinks>(loop, *trace_, linksHost);
    NetServers::Host& serversHost = *this;
    servers_ = std::make_unique<NetServers>(loop, *trace_, serversHost);
    expiry_ = std::make_unique<OnlineExpiry>(loop, records_, *trace_, [this] { Changed(); });
    loop.Call([this, &loop] {
        publishTimer_ = std::make_unique<EventLoop::Timer>(loop, [this] { OnPublishTimer(); });
        publishTimer_->At(loop.Now() + PublishInterval);
    });
}

PortTable::~PortTable()
{
    // Nothing may run on the records or the endpoint once they go. The end of a run waits for
    // the loop as long as it takes: the ports must be gone when the table is.
    pumpLoop_.Loop().Call([this] {
        CloseEverything();
        if (networkStarted_) {
            intake_->Endpoint().Stop();
            expiry_->Stop();
        }
        publishTimer_.reset();
        expiry_.reset();
        servers_.reset();
        links_.reset();
        intake_.reset();
        trace_.reset();
        // The sites outlive the table.
        for (VirtualPortEntry& e : records_)
            if (e.control)
                e.control->WhenRoom(nullptr);
        if (sharedControl_)
            sharedControl_->WhenRoom(nullptr);
    });
}

PortTable::NetworkResult PortTable::StartNetwork()
{
    char name[255];
    if (gethostname(name, sizeof name) != 0)
        return NetworkResult::HostNameFailed;
    // The endpoint retries a taken port quietly until it is free: say once that it is taken.
    const std::optional<int> error = Command([this] {
        expiry_->Start();
        return intake_->Endpoint().Start();
    });
    if (!error)
        return NetworkResult::NotAnswering;
    if (*error != 0) {
        networkFailure_ = {Reason::Kind::UdpPortTaken, std::to_string(UdpPort()), {}, *error};
        Log::Error(networkFailure_.English());
    }
    networkStarted_ = 1;
    return networkFailure_ ? NetworkResult::PortTaken : NetworkResult::Started;
}

bool PortTable::StopNetwork()
{
    if (!networkStarted_)
        return true;
    if (!Command([this] {
            intake_->Endpoint().Stop();
            expiry_->Stop();
            return true;
        }))
        return false;
    networkStarted_ = 0;
    return true;
}

void PortTable::Turn(std::chrono::milliseconds limit)
{
    pumpLoop_.Loop().RunOnce(limit);
    Publish();
}

bool PortTable::TurnUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    return pumpLoop_.Loop().RunUntil(
        [&] {
            Publish();
            return done();
        },
        limit);
}

bool PortTable::UdpPortOpen() const
{
    return intake_->Open();
}

uint16_t PortTable::UdpPort() const
{
    SocketAddress local;
    local.Parse(serverAddress_.c_str());
    return local.Port();
}

bool PortTable::Publish()
{
    const std::string target = sharedTarget_ >= 0 ? records_[sharedTarget_].config.Code : std::string("#NoSelected");
    const bool changed = board_.Publish(
        records_, [this](const VirtualPortEntry& e) { return PortOf(e); }, clock_.Now(), intake_->Unmatched(), target);
    if (changed && published_)
        published_();
    return changed;
}

bool PortTable::WhenPublished(std::function<void()> told)
{
    return Perform([this, told = std::move(told)] { published_ = told; });
}

void PortTable::OnPublishTimer()
{
    quiet_ = !Publish();
    publishTimer_->At(clock_.Now() + (quiet_ ? QuietInterval : PublishInterval));
}

void PortTable::Changed()
{
    // After a quiet interval the first change is published at once (a login, a connection, a
    // refusal); while changes keep coming, once an interval.
    if (!quiet_ || !publishTimer_)
        return;
    quiet_ = false;
    publishTimer_->Soon();
}

bool PortTable::UseSettings(const GlobalSettings& settings)
{
    return Perform([this, settings] { settings_ = settings; });
}

bool PortTable::PrepareSlots()
{
    return Perform([this] {
        if (settings_.OnlyOnePort)
            BindSharedControl();
        for (int i = 0; i < MaxPorts; ++i) {
            records_.Reset(i);
            if (!settings_.OnlyOnePort)
                BindRecordControl(i);
        }
    });
}

bool PortTable::OpenSlot(int slot, const PortConfig& config)
{
    return Perform([this, slot, config] {
        // Nothing of the port that had the slot before: its DTU's last datagram, its counts.
        records_.Reset(slot);
        records_.Fill(slot, config, PeerAddress(config));
        ActivatePort(slot);
        records_.MarkShadowed();
    });
}

bool PortTable::EditSlot(int slot, const PortConfig& config)
{
    return Perform([this, slot, config] {
        ApplyEdit(slot, config);
        records_.MarkShadowed();
    });
}

bool PortTable::CloseSlot(int slot)
{
    return Perform([this, slot] {
        RemovePort(slot);
        records_.MarkShadowed();
    });
}

bool PortTable::RestoreLinks()
{
    return Perform([this] { pumpLoop_.Ports().Links().Restore(); });
}

bool PortTable::CloseAll()
{
    return Perform([this] { CloseEverything(); });
}

void PortTable::CloseEverything()
{
    for (VirtualPortEntry& e : records_) {
        servers_->Stop(e);
        StopPortLink(e);
        DropTcpLink(e);
        CloseVirtualPort(e);
    }
    if (settings_.OnlyOnePort && sharedPortOpen_) {
        sharedControl_->Close();
        sharedPortOpen_ = 0;
    }
}

std::optional<bool> PortTable::SelectSharedTarget(const std::string& code)
{
    return Command([this, code] {
        if (code.empty())
            return false;
        const int found = records_.FindByCodeIgnoringCase(code);
        if (found < 0)
            return false;
        SetSharedTarget(found);
        return true;
    });
}

bool PortTable::PublishNow(std::chrono::milliseconds bound)
{
    return Command([] { return true; }, bound).has_value();
}

std::chrono::milliseconds PortTable::PublishedAge() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - board_.LookedAt());
}

bool PortTable::AddTraceWatcher(int fd, const std::vector<int>& watched)
{
    return Perform([this, fd, watched] { trace_->Add(fd, watched); });
}

bool PortTable::InService(int slot) const
{
    return Published()->Find(slot) != nullptr;
}

int PortTable::FindFreeSlot() const
{
    const std::shared_ptr<const PublishedPorts> ports = Published();
    for (int i = 0; i < MaxPorts; ++i) {
        if (!ports->Find(i))
            return i;
    }
    return -1;
}

int PortTable::FindPortByNumber(int number) const
{
    const std::shared_ptr<const PublishedPorts> ports = Published();
    for (int i = 0; i < MaxPorts; ++i) {
        const PortStatus* port = ports->Find(i);
        if (port && port->config.PortNumber == number)
            return i;
    }
    return -1;
}

int PortTable::FindPortByCode(const std::string& code) const
{
    const std::shared_ptr<const PublishedPorts> ports = Published();
    for (int i = 0; i < MaxPorts; ++i) {
        const PortStatus* port = ports->Find(i);
        if (port && port->config.Code == code)
            return i;
    }
    return -1;
}

PortConfig PortTable::SlotConfig(int slot) const
{
    // Held while the status is read: the loop may publish anew meanwhile.
    const std::shared_ptr<const PublishedPorts> ports = Published();
    const PortStatus* port = ports->Find(slot);
    return port ? port->config : PortConfig{};
}

PortStatus PortTable::Status(int slot) const
{
    const std::shared_ptr<const PublishedPorts> ports = Published();
    if (const PortStatus* port = ports->Find(slot))
        return *port;
    PortStatus none;
    none.slot = slot;
    return none;
}

std::vector<std::optional<PortStatus>> PortTable::Statuses() const
{
    const std::shared_ptr<const PublishedPorts> ports = Published();
    std::vector<std::optional<PortStatus>> all(MaxPorts);
    for (int i = 0; i < MaxPorts; ++i) {
        if (const PortStatus* port = ports->Find(i))
            all[static_cast<size_t>(i)] = *port;
    }
    return all;
}

std::string PortTable::GetSharedTargetCode() const
{
    return Published()->sharedTargetCode;
}

PortTable::Unmatched PortTable::UnmatchedDatagrams() const
{
    return Published()->unmatched;
}

std::optional<bool> PortTable::InUse(int slot, std::chrono::milliseconds bound)
{
    const auto ask = [this, slot] {
        if (slot < 0 || slot >= MaxPorts || !records_[slot].portHeld || records_[slot].notServedReason)
            return false;
        const VirtualSerialPort* port = PortOf(records_[slot]);
        return port && port->InUse();
    };
    return Command(ask, bound);
}

std::optional<bool> PortTable::AnyPortInUse(std::chrono::milliseconds bound)
{
    const auto ask = [this] {
        if (settings_.OnlyOnePort)
            return sharedControl_ && sharedControl_->InUse();
        for (const VirtualPortEntry& e : records_) {
            if (e.config.PortNumber != 0 && e.control && e.control->InUse())
                return true;
        }
        return false;
    };
    return Command(ask, bound);
}

SocketAddress PortTable::PeerAddress(const PortConfig& config) const
{
    SocketAddress address;
    if (!address.ParseStored(config.PeerIP, settings_.SocketPort))
        address.SetInAddr(htonl(INADDR_ANY), settings_.SocketPort);  // its status says why
    return address;
}

VirtualSerialPort* PortTable::PortOf(const VirtualPortEntry& entry) const
{
    return settings_.OnlyOnePort ? sharedControl_ : entry.control;
}

bool PortTable::SendDatagram(const SocketAddress& to, const uint8_t* data, int size)
{
    return intake_->Endpoint().SendTo(to, data, size);
}

void PortTable::OnPortRoom(const VirtualSerialPort* port)
{
    links_->Resume(port);
}

void PortTable::BindSharedControl()
{
    sharedControl_ = &sites_.Site(0);
    sharedControl_->WhenRoom([this, port = sharedControl_] { OnPortRoom(port); });
    sharedPortOpen_ = sharedControl_->Open(PortName(settings_.VPortNo), pumpLoop_.Ports()) ? 1 : 0;
}

void PortTable::BindRecordControl(int i)
{
    VirtualSerialPort* port = &sites_.Site(i);
    records_[i].control = port;
    port->WhenRoom([this, port] { OnPortRoom(port); });
}

void PortTable::ActivatePort(int i)
{
    VirtualPortEntry& e = records_[i];
    const std::string name = PortName(e.config.PortNumber);
    // Two slots with one number (a hand-written file): the later one is not served.
    const int earlier = settings_.OnlyOnePort ? -1 : records_.FindByNumber(e.config.PortNumber);
    e.portHeld = 1;
    if (earlier >= 0) {
        e.linkRunning = 0;
        SetNotServed(e, {Reason::Kind::NumberServedTwice, name, std::to_string(earlier + 1)});
    } else if (settings_.OnlyOnePort) {
        e.linkRunning = 1;
        if (!sharedPortOpen_)
            SetNotServed(e, sharedControl_ ? sharedControl_->OpenFailure() : Reason{Reason::Kind::SharedPortNotOpen});
    } else {
        e.linkRunning = OpenVirtualPort(e, name) ? 1 : 0;
    }

    StartLinks(e);
    if (sharedTarget_ == -1)
        SetSharedTarget(i);
}

void PortTable::StartLinks(VirtualPortEntry& entry)
{
    if (entry.linkRunning && !StartPortLink(entry)) {
        // Without its pump what applications write would never leave: no port at all.
        entry.linkRunning = 0;
        if (!settings_.OnlyOnePort && entry.control)
            entry.control->Close();
    }
    // A DTU whose bytes would have nowhere to go is not connected.
    if (entry.config.UseTcp && !entry.notServedReason)
        ConnectOrClose(entry);
    StartNetServer(entry);
}

void PortTable::ConnectOrClose(VirtualPortEntry& entry)
{
    // A port whose DTU's link cannot be made is no port.
    if (!ConnectTcpLink(entry)) {
        StopPortLink(entry);
        if (!settings_.OnlyOnePort && entry.control)
            entry.control->Close();
    }
}

void PortTable::StartNetServer(VirtualPortEntry& entry)
{
    servers_->Stop(entry);
    entry.netFailure = {};
    // A network client takes an application's place on the port's own pseudo-terminal: a port
    // that is not served, or the one port all DTUs share, has none to offer.
    if (entry.config.NetPort <= 0 || entry.notServedReason || settings_.OnlyOnePort)
        return;
    SocketAddress address;
    address.Parse((settings_.NetAddress + ":0").c_str());
    servers_->Listen(entry, address);
}

void PortTable::DtuMoved(VirtualPortEntry& entry)
{
    if (!entry.portHeld || entry.notServedReason)
        return;
    ConnectOrClose(entry);
    if (entry.notServedReason)
        records_.MarkShadowed();  // it takes no datagram now
}

bool PortTable::OpenVirtualPort(VirtualPortEntry& entry, const std::string& name)
{
    if (entry.control && entry.control->Open(name, pumpLoop_.Ports())) {
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
    const std::string name = PortName(entry.config.PortNumber);
    const bool global = DirectoryRefusal(reason.kind);
    const std::string text = reason.English();
    if (reason && reportedReasons_.insert(global ? text : name + ": " + text).second)
        Log::Error(name + " (slot " + std::to_string(entry.index + 1) + ") is not served: " + text
                   + (global ? "; no port is served while it is" : ""));
}

void PortTable::CloseVirtualPort(VirtualPortEntry& entry)
{
    if (settings_.OnlyOnePort || !entry.portHeld)
        return;
    // No datagram is matched to the record once its port starts to go.
    entry.portHeld = 0;
    if (entry.control)
        entry.control->Close();
}

bool PortTable::StartPortLink(VirtualPortEntry& entry)
{
    if (pumpLoop_.Runs(entry))
        return true;
    LinkPump::Host& host = *this;
    if (pumpLoop_.Add(host, entry, PortOf(entry), settings_.OnlyOnePort != 0))
        return true;
    // The loop has said why.
    SetNotServed(entry, {Reason::Kind::NoPump, PortName(entry.config.PortNumber)});
    return false;
}

void PortTable::StopPortLink(VirtualPortEntry& entry)
{
    if (!entry.linkRunning)
        return;
    entry.linkRunning = 0;
    pumpLoop_.Remove(entry);
}

bool PortTable::ConnectTcpLink(VirtualPortEntry& entry)
{
    // Never to 0.0.0.0: the port waits for an address, and its status says so.
    if (!entry.peerAddress.IsPeer()) {
        links_->Drop(entry);
        return true;
    }
    if (const Reason failure = links_->Connect(entry, entry.peerAddress)) {
        SetNotServed(entry, failure);
        return false;
    }
    return true;
}

void PortTable::DropTcpLink(VirtualPortEntry& entry)
{
    links_->Drop(entry);
}

void PortTable::ApplyEdit(int i, const PortConfig& fields)
{
    VirtualPortEntry& e = records_[i];
    const bool numberChanged = fields.PortNumber != e.config.PortNumber;
    records_.Fill(i, fields, PeerAddress(fields));
    expiry_->Wake();  // the interval may have become shorter

    servers_->Stop(e);
    // A port of its own that was not served gets another try, whatever changed.
    if (numberChanged || (!settings_.OnlyOnePort && e.notServedReason)) {
        StopPortLink(e);
        CloseVirtualPort(e);
    }
    DropTcpLink(e);
    const std::string name = PortName(e.config.PortNumber);
    if (!e.portHeld) {
        e.portHeld = 1;
        e.linkRunning = settings_.OnlyOnePort ? 1 : (OpenVirtualPort(e, name) ? 1 : 0);
    }
    // In shared-port mode the record gets its try here: the shared port stays as it is.
    if (settings_.OnlyOnePort && e.notServedReason && sharedPortOpen_)
        SetNotServed(e, {});

    StartLinks(e);
}

void PortTable::RemovePort(int i)
{
    VirtualPortEntry& e = records_[i];
    if (sharedTarget_ == i)
        SetSharedTarget(records_.FindOtherThan(i));
    servers_->Stop(e);
    e.netFailure = {};
    DropTcpLink(e);
    StopPortLink(e);
    if (settings_.OnlyOnePort) {
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

void PortTable::SetSharedTarget(int i)
{
    sharedTarget_ = i;
    if (i >= 0 && i < MaxPorts)
        pumpLoop_.Wake(records_[i]);
}
