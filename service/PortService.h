#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/ConfigStore.h"
#include "config/GlobalSettings.h"
#include "link/PortTable.h"
#include "net/RepeatSummary.h"
#include "service/PortError.h"
#include "service/PortRows.h"
#include "service/PortCounts.h"
#include "vport/LineState.h"
#include "vport/VirtualPortSites.h"

// The ports of one run, with or without a window: the global settings, the configuration
// store, the virtual port sites and the port table, and the rules every front end (the
// window, the bus manager) goes through to add, edit and remove ports. Main thread only;
// the table's data path runs on the loop's thread, which this thread never waits for beyond
// a bound: a change the loop does not take in time fails with PortError::NotAnswering (or
// NotAnsweredYet once stored), and a question is answered from what the loop published.
class PortService : public QObject {
    Q_OBJECT
public:
    static constexpr int MinNumber = 1;
    static constexpr int MaxNumber = 256;
    static constexpr int MaxCodeBytes = 11;  // the datagram's code field holds 12 with its NUL
    static constexpr int MinInterval = 10;
    static constexpr int MaxInterval = 100000;
    static constexpr int WatchIntervalMs = 500;

    // serverAddress is the UDP server's local address; tests move it off port 3700.
    explicit PortService(const char* serverAddress = "0.0.0.0:3700", QObject* parent = nullptr);
    ~PortService() override;

    // The window's list, attached before StartPorts and detached when the window goes.
    void AttachView(PortView* shown) { rows_.Attach(shown); }
    // The rows of the list as the service keeps them from the ports' statuses: brought up to
    // date after each change and each time the loop publishes a port's new status.
    const PortRows& Rows() const { return rows_; }

    // Start-up, in this order: the settings and the network, then the stored ports.
    PortTable::NetworkResult StartNetwork();
    void StartPorts();
    // Closes every port and stops the network; the destruction does it anyway.
    void Shutdown();

    const GlobalSettings& Settings() const { return settings_; }
    // What went wrong while starting (the configuration file, the UDP port), for a window to
    // show once it is up; each was logged already.
    const std::vector<Reason>& StartNotices() const { return startNotices_; }
    // Stores the globals; they apply at the next start.
    PortError SaveSettings(const GlobalSettings& entered) const;

    // The rules of the add, edit and delete flows. The number of a port in shared-port mode
    // is the shared port's. Each change is stored as the window stores it, before it is made:
    // when the configuration file cannot keep it (PortError::ByTheFile), nothing changes.
    PortError Add(PortConfig config, int* slot = nullptr);
    PortError Edit(int slot, PortConfig config);
    // Refuses a port an application holds open unless force.
    PortError Remove(int slot, bool force);
    // What the last change's save kept or did besides (hand edits it left in place), none when
    // nothing; said in the log already.
    const Reason& SaveNotice() const { return store_.LastNotice(); }
    // The number, code and interval rules alone.
    static PortError Check(const PortConfig& config);
    // Parses "A.B.C.D" strictly into peerIp, as it is stored.
    static PortError ParseAddress(const std::string& text, std::string& peerIp);

    // The statuses below are what the data path published last: a command's effect at once,
    // what the traffic changes within a moment (PortTable::PublishInterval). An answer to a
    // question asked from outside (the bus, the tool) catches up first, so it counts every
    // byte the ports took before the question: 0 then, or how old the statuses are when the
    // loop did not get round to it within PortTable::CatchUpBound.
    std::chrono::milliseconds CatchUp() const;
    // Every port in service, in slot order; one port, when slot holds one.
    std::vector<PortStatus> Snapshot() const;
    std::optional<PortStatus> StatusOf(int slot) const;
    // The line settings an application set on the slot's port, as the serial compatibility
    // library reports them (none when none are known). Read here from the file the library
    // writes, for the port the statuses show held: the loop does no file work for a reader.
    std::optional<LineState> LineSettings(int slot) const;
    static std::optional<LineState> LineSettings(const PortStatus& port);
    // A live trace of the watched slots' ports (every port for none): the reading end of a stream of
    // trace records (link/TraceRecord.h), written until the reader closes it or the run ends;
    // the caller owns it. -1 when no stream could be made (said in the log).
    int OpenTrace(const std::vector<int>& watched);
    // What the data path counts of no port.
    GlobalStatistics Statistics() const;
    int FindByNumber(int number) const { return table_->FindPortByNumber(number); }
    // Exact, the first in slot order.
    int FindByCode(const std::string& code) const { return table_->FindPortByCode(code); }

    // Asked of the loop; when it does not answer within PortTable::CatchUpBound, as the
    // statuses show it.
    bool AnyPortInUse() const;
    // False too when the loop did not answer (said in the log).
    bool SelectSharedTarget(const std::string& code);
    std::string GetSharedTargetCode() const { return table_->GetSharedTargetCode(); }

    // Reads the configuration file again and applies it slot by slot: unchanged ports are
    // left alone, changed ones restarted, removed ones closed, new ones opened. Global
    // settings that differ are reported and apply at the next start.
    void Reload();

    // The data path's loop, for a watchdog: after PokeDataPath its heartbeat moves once the
    // loop got round to it, which it does only while it runs.
    uint64_t DataPathHeartbeat() const { return table_->Heartbeat(); }
    void PokeDataPath() { table_->Poke(); }
    // Whether the UDP server holds the port DTUs log in to.
    bool UdpPortOpen() const { return table_->UdpPortOpen(); }
    // The UDP port DTUs log in to, as text, while another program holds it; "" once it is ours.
    std::string HeldUdpPort() const { return udpPortWaiting_ ? table_->NetworkFailure().subject : std::string(); }

signals:
    // Ports were added, edited or removed (by any front end or a reload).
    void PortsChanged();
    // A port's configuration or state differs from the last one seen (the loop publishes it,
    // at most once a PortTable::PublishInterval); its byte counts alone do not make a change.
    void PortStateChanged(const PortStatus& port);
    // The port left service.
    void PortRemoved(int slot, int number, const std::string& code);

private:
    bool InService(int slot) const;
    // Another port than slot (-1: any) takes network clients on the TCP port.
    bool NetPortTaken(int netPort, int slot) const;
    // False when the loop did not take the change in time (said in the log).
    bool Open(int slot, const PortConfig& config);
    bool Close(int slot);
    bool Edited(int slot, const PortConfig& config);
    // The loop takes commands now (it answered within PortTable::CommandBound).
    bool Answering() const;
    // The refusal of a change the file could not keep, or none.
    static PortError Saved(const Reason& failure);
    // The loop published: the ports whose statuses it replaced are looked at (the others did
    // not change), rows brought up to date, changes reported.
    void Watch();
    // Told on the loop thread; Watch follows on this thread, once for any number of tellings
    // (through an eventfd rather than a posted Qt event: nothing of Qt's crosses the threads).
    void Told();
    // Summaries due by time (drops, datagrams of no port), every WatchIntervalMs.
    void Summarize();
    void ReportEvents(const PortStatus& before, const PortStatus& now);
    void ReportReconnects(const PortStatus& before, const PortStatus& now);
    void ReportDropped(const PortStatus& port, int64_t nowMs, bool ending = false);
    // What the data path counts rather than says: datagrams of no port, the UDP port taken.
    // Ending: the datagrams of no port not yet said, at once.
    void ReportNetworkEvents(bool ending = false);

    GlobalSettings settings_;
    ConfigStore store_;
    std::unique_ptr<StoredConfig> startConfig_;  // between StartNetwork and StartPorts
    std::vector<Reason> startNotices_;
    VirtualPortSites sites_;
    PortRows rows_;
    std::unique_ptr<PortTable> table_;
    QTimer watchTimer_;
    // By slot, as Watch saw them: a status the loop did not replace is the same object.
    std::vector<std::shared_ptr<const PortStatus>> lastSeen_;
    std::atomic<bool> watchPosted_{false};  // a Watch is on its way to this thread
    int toldFd_ = -1;                       // eventfd the loop writes when it tells
    std::unique_ptr<QSocketNotifier> told_;
    RepeatSummary unmatchedSummary_;
    std::vector<RepeatSummary> droppedSummary_;  // by slot, anew for each port put there
    bool udpPortWaiting_ = false;                // taken by another program at start, not yet ours
};
