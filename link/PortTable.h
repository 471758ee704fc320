#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

#include "config/GlobalSettings.h"
#include "config/PortConfig.h"
#include "link/DtuPacket.h"
#include "link/LoginReplyRule.h"
#include "link/PortStatus.h"
#include "link/PortTrace.h"
#include "link/PumpLoop.h"
#include "link/VirtualPortEntry.h"
#include "vport/LineState.h"
#include "net/EventLoop.h"
#include "net/SocketAddress.h"
#include "net/UdpEndpoint.h"

class VirtualPortSites;

// The data path of a run, without any widget: the 200 port records (private), the UDP
// endpoint, the virtual port sites, the shared-port state and the pumps. Datagram handling, the
// pumps, the TCP links and the online expiry run on the data path's loop (PumpLoop), whose
// thread alone touches the records: the public part, called by the port service on the main
// thread, runs there too (OnLoop) and hands out what runs only as PortStatus.
class PortTable : private UdpEndpoint::Owner {
public:
    static constexpr int MaxPorts = 200;

    using Turning = PumpLoop::Turning;

    // serverAddress is the UDP server's local address: "0.0.0.0:3700" in the program,
    // something else in tests. The settings are read as they are at each use. Every time on
    // the data path (framing, retries, the online expiry, login replies, last heard) comes
    // from clock: the steady clock in the program. Turning::ByOwner leaves the loop to Turn
    // (tests): the public members then run on the caller's thread.
    PortTable(Clock& clock, const GlobalSettings& settings, VirtualPortSites& sites,
              const char* serverAddress = "0.0.0.0:3700", Turning turning = Turning::OwnThread);
    ~PortTable();
    PortTable(const PortTable&) = delete;
    PortTable& operator=(const PortTable&) = delete;

    // The network: the UDP server DTUs log in to, and the online expiry.
    // PortTaken: started, but the UDP port is held by another program (NetworkFailure says so);
    // the server takes it once it is free.
    enum class NetworkResult { Started, HostNameFailed, PortTaken };
    NetworkResult StartNetwork();
    void StopNetwork();
    const Reason& NetworkFailure() const { return networkFailure; }
    bool UdpPortOpen() const;  // the server holds its UDP port
    uint16_t UdpPort() const;  // the port it holds

    // The virtual port sites of every slot, before the first OpenSlot; in shared-port mode
    // also opens the shared port "COM<VPortNo>".
    void PrepareSlots();
    // A port goes into service in the slot (free, after PrepareSlots): its record from the
    // configuration, its virtual port, its pump and, for TCP, its link. A port that cannot
    // be served stays in service with the reason in its status.
    void OpenSlot(int slot, const PortConfig& config);
    // The port in the slot takes the configuration: a new number reopens its virtual port,
    // its TCP link is made anew; a dynamic UDP port that stays one keeps its DTU's address.
    void EditSlot(int slot, const PortConfig& config);
    // The port leaves service: its pump, link and virtual port go; its counts start anew.
    void CloseSlot(int slot);
    // Every port leaves service (the end of a run).
    void CloseAll();

    bool InService(int slot) const;
    int FindFreeSlot() const;
    int FindPortByNumber(int number) const;
    int FindPortByCode(const std::string& code) const;  // exact match, first in slot order
    // The slot's configuration as the store keeps it (PeerIP of a dynamic UDP port: where its
    // DTU last was heard from).
    PortConfig SlotConfig(int slot) const;
    // The slot's port as front ends see it now.
    PortStatus Status(int slot) const;
    // Every port in service as front ends see it now, by slot, in one visit to the loop.
    std::vector<std::optional<PortStatus>> Statuses() const;
    // The line settings an application set on the slot's port, none when none are known.
    std::optional<LineState> LineSettings(int slot) const;
    // An application holds a port open (shared-port mode: the shared port).
    bool AnyPortInUse() const;
    // The one place a configured PeerIP becomes the DTU's address: the text with the current
    // SocketPort; none (0.0.0.0) when the text is empty or no address.
    SocketAddress PeerAddress(const PortConfig& config) const;
    static std::string PortName(int number) { return PortStatus::PortName(number); }

    // Shared-port mode: the DTU that gets what applications write (code compared ignoring
    // the case of A to Z); "#NoSelected" when none is.
    bool SelectSharedTarget(const std::string& code);
    std::string GetSharedTargetCode() const;

    // Datagrams that belong to no port (a code no port has, or a fixed address with another
    // code): counted, the latest one's code and source kept, so the service can sum them up
    // in the log instead of a line per datagram.
    struct Unmatched {
        uint64_t count = 0;
        std::string code;
        SocketAddress source;
    };
    Unmatched UnmatchedDatagrams() const;

    // A watcher of the trace: fd (taken) gets the records of the watched slots' ports (none: every
    // port) and of what belongs to no port, until its reader closes it or the table ends.
    void AddTraceWatcher(int fd, const std::vector<int>& watched);

    // The pumps' loop, for a watchdog: after Poke its heartbeat moves once the loop got round
    // to it, which it does only while it runs.
    uint64_t Heartbeat() const { return pumpLoop.Heartbeat(); }
    void Poke() { pumpLoop.Poke(); }

    // Turning::ByOwner: one turn of the loop, waiting at most limit (real time) for what comes
    // (a datagram, an application's bytes, a post); then the timers due by the clock run.
    void Turn(std::chrono::milliseconds limit = std::chrono::milliseconds(0));
    // Turns until done holds or limit (real time) passed; false then.
    bool TurnUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

private:
    friend class LinkPump;
    friend struct VirtualPortEntry;

    Clock& clock;
    const GlobalSettings& settings;
    VirtualPortEntry ports[MaxPorts];
    // Made with the table and ended with it; the loop's alone.
    std::unique_ptr<UdpEndpoint> udpServer;
    int sharedTarget = -1;
    VirtualSerialPort* sharedControl = nullptr;
    int sharedPortOpen = 0;
    int networkStarted = 0;
    Reason networkFailure;
    // Runs the pumps of all records (StartPortLink adds one, StopPortLink removes it), the
    // UDP endpoint, the TCP links and the online expiry; its thread alone touches the records.
    mutable PumpLoop pumpLoop;
    // Runs fn on the loop thread and returns its result: every public member goes through it.
    template <class F>
    auto OnLoop(F&& fn) const
    {
        return pumpLoop.Loop().Call(std::forward<F>(fn));
    }

    void BindSharedControl();       // shared-port mode: site 0, open "COM<VPortNo>"
    void ResetRecord(int i);        // defaults of record i
    void BindRecordControl(int i);  // per-port mode: site i

    // Link operations.
    void ActivatePort(int i);
    bool OpenVirtualPort(VirtualPortEntry& entry, const std::string& name);
    void CloseVirtualPort(VirtualPortEntry& entry);
    // False, with the record not served and why, when its pump cannot start.
    bool StartPortLink(VirtualPortEntry& entry);
    void StopPortLink(VirtualPortEntry& entry);
    // False, with the record not served and why, when its link cannot be made.
    bool ConnectTcpLink(VirtualPortEntry& entry);
    void DropTcpLink(VirtualPortEntry& entry);

    void FillRecord(int i, const PortConfig& config);  // add: before ActivatePort
    void ApplyEdit(int i, const PortConfig& config);   // edit: record, port and links
    void RemovePort(int i);                            // delete: everything but the stored group
    std::string PortDevicePath(int i) const;           // the link path an application opens
    static PortConfig ConfigOf(const VirtualPortEntry& entry);
    PortStatus StatusOnLoop(int slot) const;
    // The virtual port a record's bytes pass through: its own, or the shared one.
    VirtualSerialPort* PortOf(const VirtualPortEntry& entry) const;
    // The port has room again: the TCP links it held back read on.
    void OnPortRoom(const VirtualSerialPort* port);

    // Datagrams from the UDP endpoint, on the loop thread: nothing changes Code or the peer
    // address under their feet.
    void OnDatagrams(const ReceivedDatagram* datagrams, int count) override;
    void OnOpenChanged(bool open) override;
    void HandleLogin(const SocketAddress& source, const uint8_t* data, int length);
    // Adds the payload to receivedRun; FlushReceivedRun writes it to the port.
    void HandleData(const SocketAddress& source, const uint8_t* data, int length);
    void FlushReceivedRun();
    // The record a datagram with this source and code belongs to, or -1.
    int MatchPort(const SocketAddress& source, std::string_view code) const;

    // Datagrams of no port, and the latest one's code and source.
    uint64_t unmatchedDatagrams = 0;
    std::string lastUnmatchedCode;
    SocketAddress lastUnmatchedSource;
    void NoteUnmatched(const SocketAddress& source, std::string_view code, int length);
    // A datagram longer than the endpoint takes: counted for its port, or as one of no port.
    void OnOversized(const ReceivedDatagram& head, size_t length) override;

    // The trace's watchers; made with the table, ended on the loop.
    std::unique_ptr<PortTrace> trace;
    // The port's latest error, with the time it came.
    static void NoteError(VirtualPortEntry& entry, Reason error);

    void SetSharedTarget(int i);  // stores the target and wakes its pump

    // The payloads of consecutive data datagrams for one record, written to its port as one:
    // a DTU's datagrams that arrive back to back then cost its terminal one write. Loop
    // thread only, and never kept past a receive call.
    struct ReceivedRun {
        static constexpr size_t Capacity = 64 * 1024;
        int record = -1;
        SocketAddress source;  // of the latest datagram, for saying where dropped bytes came from
        std::vector<uint8_t> bytes;
    };
    ReceivedRun receivedRun;

    // The login replies of one receive call, sent together (one system call for many) before
    // the call's payloads reach their ports and at its end. Loop thread only.
    struct LoginReply {
        SocketAddress destination;
        uint8_t bytes[DtuPacket::LoginReplySize];
    };
    std::vector<LoginReply> loginReplies;
    LoginReplyRule loginReplyRule;  // loop thread only
    void SendLoginReplies();

    VirtualPortSites& sites;

    // Starts the pump when the port is open and, for a TCP port, the connection.
    void StartLinks(VirtualPortEntry& entry);
    // Records why the port is not served (none when it is) and reports it, once per port and
    // reason; a refused port directory, the one cause of every port's refusal, once.
    void SetNotServed(VirtualPortEntry& entry, const Reason& reason);
    std::set<std::string> reportedReasons;

    // Online expiry: a timer of the loop, due at the earliest moment a UDP port whose DTU
    // fell silent must be shown offline, and run again at once when a port comes online or
    // its interval changed.
    void OnOnlineExpiry();
    // Returns when the next check is due, NoneDue when no port is online.
    Clock::time_point ExpireSilentPorts();
    static constexpr Clock::time_point NoneDue = Clock::time_point::max();
    void StartOnlineWatch();
    void StopOnlineWatch();
    void WakeOnlineWatch();

    const std::string serverAddress;
    std::atomic<bool> udpOpen{false};                // the endpoint's socket is open
    std::unique_ptr<EventLoop::Timer> onlineExpiry;  // while the network runs
};
