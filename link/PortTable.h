#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/GlobalSettings.h"
#include "config/PortConfig.h"
#include "link/DatagramIntake.h"
#include "link/LinkPump.h"
#include "link/NetServers.h"
#include "link/OnlineExpiry.h"
#include "link/PortRecords.h"
#include "link/PortStatus.h"
#include "link/PortTrace.h"
#include "link/PumpLoop.h"
#include "link/StatusBoard.h"
#include "link/TcpLinks.h"
#include "net/EventLoop.h"
#include "net/SocketAddress.h"

class VirtualPortSites;

// The data path of a run, without any widget: the port records, their virtual ports, the
// datagram intake, the TCP links, the online expiry, the shared-port state and the pumps, all
// on the data path's loop (PumpLoop), whose thread alone touches them. Other threads hold the
// table as the loop's handle, and each member says who may call it:
// - commands (UseSettings .. PublishNow, InUse, AnyPortInUse): the owner's thread (the port
//   service's, the main thread); each is posted to the loop and waited for within its bound;
// - what the loop published (Published, Status, Find*, ...): any thread, never waiting;
// - Heartbeat and Poke: any thread.
// With Turning::ByOwner (tests) no thread of the loop's own runs: the owner turns it (Turn)
// and its commands run on the owner's thread.
class PortTable : private LinkPump::Host,
                  private TcpLinks::Host,
                  private DatagramIntake::Host,
                  private NetServers::Host {
public:
    static constexpr int MaxPorts = PortRecords::Count;
    // How often the loop looks for what the traffic changed (counts, online marks, the time a
    // DTU was last heard) and publishes it; the first change after a quiet interval is
    // published at once. While quiet only an application opening or closing a port changes a
    // status without saying so: looked for less often, so an idle run wakes seldom.
    static constexpr std::chrono::milliseconds PublishInterval{100};
    static constexpr std::chrono::milliseconds QuietInterval{250};
    // How long a reader waits for the loop to catch up before it takes what was published, and
    // how long a command waits for the loop before it fails: a stuck loop never holds up the
    // thread that asks.
    static constexpr std::chrono::milliseconds CatchUpBound{50};
    static constexpr std::chrono::milliseconds CommandBound{3000};

    using Turning = PumpLoop::Turning;
    using Unmatched = UnmatchedSummary;

    // serverAddress is the UDP server's local address: "0.0.0.0:3700" in the program,
    // something else in tests. The settings are the loop's own copy (UseSettings replaces
    // it). Every time on
    // the data path (framing, retries, the online expiry, login replies, last heard) comes
    // from clock: the steady clock in the program. Turning::ByOwner leaves the loop to Turn
    // (tests): the public members then run on the caller's thread.
    PortTable(Clock& clock, GlobalSettings settings, VirtualPortSites& sites,
              const char* serverAddress = "0.0.0.0:3700", Turning turning = Turning::OwnThread);
    ~PortTable();
    PortTable(const PortTable&) = delete;
    PortTable& operator=(const PortTable&) = delete;

    // The network: the UDP server DTUs log in to, and the online expiry.
    // PortTaken: started, but the UDP port is held by another program (NetworkFailure says so);
    // the server takes it once it is free.
    // NotAnswering: the loop did not take the network within CommandBound.
    enum class NetworkResult { Started, HostNameFailed, PortTaken, NotAnswering };
    NetworkResult StartNetwork();
    bool StopNetwork();
    const Reason& NetworkFailure() const { return networkFailure_; }
    bool UdpPortOpen() const;  // the server holds its UDP port
    uint16_t UdpPort() const;  // the port it holds

    // Commands: each runs on the loop and returns once what it changed is published, or
    // fails (false, none) when the loop did not run it within CommandBound. The loop then runs
    // it when it can, in order; until it has, a later command waits for it (within its own
    // bound) before it is posted, so a stuck loop gets no queue of them.
    //
    // The settings the ports are served with from now on (the mode, SocketPort, VPortNo),
    // handed over by value: the loop never reads the caller's.
    bool UseSettings(const GlobalSettings& settings);
    // The virtual port sites of every slot, before the first OpenSlot; in shared-port mode
    // also opens the shared port "COM<VPortNo>".
    bool PrepareSlots();
    // A port goes into service in the slot (free, after PrepareSlots): its record from the
    // configuration, its virtual port, its pump and, for TCP, its link. A port that cannot
    // be served stays in service with the reason in its status.
    bool OpenSlot(int slot, const PortConfig& config);
    // The port in the slot takes the configuration: a new number reopens its virtual port,
    // its TCP link is made anew; a dynamic UDP port that stays one keeps its DTU's address.
    bool EditSlot(int slot, const PortConfig& config);
    // The port leaves service: its pump, link and virtual port go; its counts start anew.
    bool CloseSlot(int slot);
    // Every port leaves service (the end of a run).
    bool CloseAll();
    // Makes again the ports' links (and the port directory) that were removed meanwhile.
    bool RestoreLinks();
    // Shared-port mode: the DTU that gets what applications write (code compared ignoring
    // the case of A to Z); false when no port has the code.
    std::optional<bool> SelectSharedTarget(const std::string& code);
    // A watcher of the trace: fd (taken) gets the records of the watched slots' ports (none: every
    // port) and of what belongs to no port, until its reader closes it or the table ends; it
    // sees everything that comes after the call returned.
    bool AddTraceWatcher(int fd, const std::vector<int>& watched);

    // Called on the loop thread each time a publish changed what Published holds (a port's
    // status, what belongs to no port, the shared port's DTU): the owner is told rather than
    // left to look. Set before the network starts; it must not wait for the loop.
    bool WhenPublished(std::function<void()> told);

    // Publishes what changed up to now and returns once it is there: for an answer that must
    // not be older than its question, and a last look before the ports go (the end of a run).
    // False when the loop did not get round to it within bound: what was published stands.
    bool PublishNow(std::chrono::milliseconds bound = CatchUpBound);
    // How long ago the loop last looked at the ports to publish them: how old what Published
    // holds may be. Any thread.
    std::chrono::milliseconds PublishedAge() const;

    // What the loop published last: any thread, never waiting for the loop. A command's effect
    // is there once the command returned; what the traffic changes, within PublishInterval.
    std::shared_ptr<const PublishedPorts> Published() const { return board_.Latest(); }
    bool InService(int slot) const;
    int FindFreeSlot() const;
    int FindPortByNumber(int number) const;
    int FindPortByCode(const std::string& code) const;  // exact match, first in slot order
    // The slot's configuration as the store keeps it (PeerIP of a dynamic UDP port: where its
    // DTU last was heard from).
    PortConfig SlotConfig(int slot) const;
    // The slot's port as front ends see it.
    PortStatus Status(int slot) const;
    // Every port in service as front ends see it, by slot.
    std::vector<std::optional<PortStatus>> Statuses() const;
    // The code of the DTU that gets what applications write; "#NoSelected" when none is.
    std::string GetSharedTargetCode() const;
    Unmatched UnmatchedDatagrams() const;

    // Asked of the loop at the time of the call (the caller waits for it, at most bound; none
    // when the loop did not answer): an application holds the slot's port open (shared-port
    // mode: the shared port), or any port.
    std::optional<bool> InUse(int slot, std::chrono::milliseconds bound = CommandBound);
    std::optional<bool> AnyPortInUse(std::chrono::milliseconds bound = CommandBound);
    static std::string PortName(int number) { return PortStatus::PortName(number); }

    // The pumps' loop, for a watchdog: after Poke its heartbeat moves once the loop got round
    // to it, which it does only while it runs.
    uint64_t Heartbeat() const { return pumpLoop_.Heartbeat(); }
    void Poke() { pumpLoop_.Poke(); }

    // Turning::ByOwner: one turn of the loop, waiting at most limit (real time) for what comes
    // (a datagram, an application's bytes, a post); then the timers due by the clock run and
    // what changed is published.
    void Turn(std::chrono::milliseconds limit = std::chrono::milliseconds(0));
    // Turns until done holds or limit (real time) passed; false then.
    bool TurnUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

private:
    // Runs fn on the loop thread and returns its result once what it changed is published;
    // none when the loop did not within bound. fn owns what it uses: it may run after the
    // caller gave up on it.
    template <class F>
    auto Command(F fn, std::chrono::milliseconds bound = CommandBound) -> std::optional<std::invoke_result_t<F&>>;
    // A command without a result: true once the loop ran it, false when it did not in time.
    template <class F>
    bool Perform(F fn);
    // Closes every port's pump, link and virtual port; loop thread.
    void CloseEverything();
    // Loop thread: publishes what changed since the last time; false when nothing did.
    bool Publish();
    void OnPublishTimer();
    void Changed() override;

    // The one place a configured PeerIP becomes the DTU's address: the text with the current
    // SocketPort as its port unless it names one; none (0.0.0.0) when the text is empty or no
    // address.
    SocketAddress PeerAddress(const PortConfig& config) const;
    // The virtual port a record's bytes pass through: its own, or the shared one.
    VirtualSerialPort* PortOf(const VirtualPortEntry& entry) const override;
    // The port has room again: the TCP links it held back read on.
    void OnPortRoom(const VirtualSerialPort* port);

    // What the pumps, the intake and the links need of the table.
    Clock& Time() const override { return clock_; }
    PortTrace& Trace() override { return *trace_; }
    bool IsSharedTarget(const VirtualPortEntry& entry) const override { return sharedTarget_ == entry.index; }
    bool SendDatagram(const SocketAddress& to, const uint8_t* data, int size) override;
    TcpConnection* TcpLink(const VirtualPortEntry& entry) override { return links_->Connection(entry); }
    void WakePump(const VirtualPortEntry& entry) override { pumpLoop_.Wake(entry); }
    void CameOnline() override { expiry_->Wake(); }
    // A dynamic-login TCP port's DTU logged in from a new address: its link goes there.
    void DtuMoved(VirtualPortEntry& entry) override;

    void BindSharedControl();       // shared-port mode: site 0, open "COM<VPortNo>"
    void BindRecordControl(int i);  // per-port mode: site i

    void ActivatePort(int i);
    bool OpenVirtualPort(VirtualPortEntry& entry, const std::string& name);
    void CloseVirtualPort(VirtualPortEntry& entry);
    // Starts the pump when the port is open and, for a TCP port, the connection.
    void StartLinks(VirtualPortEntry& entry);
    // False, with the record not served and why, when its pump cannot start.
    bool StartPortLink(VirtualPortEntry& entry);
    void StopPortLink(VirtualPortEntry& entry);
    // False, with the record not served and why, when its link cannot be made. The link goes
    // to the record's peer address; a port with none has no link until it learns one.
    bool ConnectTcpLink(VirtualPortEntry& entry);
    // Connects the TCP port's link anew, or closes the port when the link cannot be made.
    void ConnectOrClose(VirtualPortEntry& entry);
    void DropTcpLink(VirtualPortEntry& entry);
    // The port's network server on NetAddress, when it has a NetPort; a port that cannot
    // listen is served without it.
    void StartNetServer(VirtualPortEntry& entry);
    void ApplyEdit(int i, const PortConfig& config);  // edit: record, port and links
    void RemovePort(int i);                           // delete: everything but the stored group
    void SetSharedTarget(int i);                      // stores the target and wakes its pump
    // Records why the port is not served (none when it is) and reports it, once per port and
    // reason; a refused port directory, the one cause of every port's refusal, once.
    void SetNotServed(VirtualPortEntry& entry, const Reason& reason);

    Clock& clock_;
    GlobalSettings settings_;  // loop thread
    VirtualPortSites& sites_;
    const std::string serverAddress_;
    PortRecords records_;
    StatusBoard board_;
    // Runs the pumps of all records (StartPortLink adds one, StopPortLink removes it), the UDP
    // intake, the TCP links, the online expiry and the publishing; its thread alone touches the
    // records. The parts below are made with the table and ended on the loop.
    const Turning turning_;
    mutable PumpLoop pumpLoop_;
    std::unique_ptr<PortTrace> trace_;
    std::unique_ptr<DatagramIntake> intake_;
    std::unique_ptr<TcpLinks> links_;
    std::unique_ptr<NetServers> servers_;
    std::unique_ptr<OnlineExpiry> expiry_;
    std::unique_ptr<EventLoop::Timer> publishTimer_;
    std::function<void()> published_;  // WhenPublished's; loop thread
    bool quiet_ = true;                // the publish timer's last look found nothing changed

    int sharedTarget_ = -1;
    VirtualSerialPort* sharedControl_ = nullptr;
    int sharedPortOpen_ = 0;
    int networkStarted_ = 0;
    Reason networkFailure_;
    std::set<std::string> reportedReasons_;

    // Commands the loop has not run yet, each counted until it has (callers' threads).
    std::mutex answerMutex_;
    std::condition_variable answered_;
    int unanswered_ = 0;                              // under answerMutex_; at most one
    std::chrono::steady_clock::time_point postedAt_;  // under answerMutex_: when it was posted
};
