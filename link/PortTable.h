#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/GlobalSettings.h"
#include "config/PortConfig.h"
#include "link/DtuPacket.h"
#include "link/LoginReplyRule.h"
#include "link/PortStatus.h"
#include "link/PortView.h"
#include "link/PumpLoop.h"
#include "link/VirtualPortEntry.h"
#include "net/SocketAddress.h"
#include "net/Event.h"
#include "net/SocketOwners.h"
#include "net/WorkerThread.h"

class UdpServerSocket;
class VirtualPortSites;

// The running half of the main window, without any widget: the 200 port records, the UDP
// server, the virtual port sites, the shared-port state and pumpLock. Datagram handling, the
// pumps (all on one PumpLoop) and the TCP notifications run here on their own threads; the
// main window calls the rest on its thread and shows the list through PortView.
class PortTable : public UdpServerOwner {
public:
    static constexpr int MaxPorts = 200;

    // serverAddress is the UDP server's local address: "0.0.0.0:3700" in the program,
    // something else in tests.
    PortTable(GlobalSettings& settings, VirtualPortSites& sites, PortView& view,
              const char* serverAddress = "0.0.0.0:3700");
    ~PortTable();
    PortTable(const PortTable&) = delete;
    PortTable& operator=(const PortTable&) = delete;

    GlobalSettings& settings;
    VirtualPortEntry ports[MaxPorts];
    std::unique_ptr<UdpServerSocket> udpServer;
    // Taken and released by the same thread, so a mutex: it sleeps at once where the
    // library's semaphore spins and yields, which 200 pumps and the receive thread pay for.
    mutable std::mutex pumpLock;
    std::atomic<int> sharedTarget{-1};
    VirtualSerialPort* sharedControl = nullptr;
    int sharedPortOpen = 0;
    int networkStarted = 0;
    // Runs the pumps of all records (StartPortLink adds one, StopPortLink removes it).
    PumpLoop pumpLoop;

    // Start-up, in the order the main window runs them.
    // PortTaken: started, but the UDP port is held by another program (networkFailure says so).
    enum class NetworkResult { Started, HostNameFailed, PortTaken };
    Reason networkFailure;
    NetworkResult StartNetwork();
    void StopNetwork();
    void BindSharedControl();    // shared-port mode: site 1017, open "COM<VPortNo>"
    void ResetRecord(int i);     // defaults of record i
    void BindRecordControl(int i);  // per-port mode: site 1017 + i

    static std::string PortName(int number) { return PortStatus::PortName(number); }

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
    void ShutdownLinks();

    // Table operations and the record side of the add, edit and delete flows.
    int FindFreeSlot() const;
    int FindPortByNumber(int number) const;
    void RenumberRows();
    void FillRecord(int i, const PortConfig& config);   // add: before ActivatePort
    void ApplyEdit(int i, const PortConfig& config);    // edit: record, port, row and links
    void RemovePort(int i);                             // delete: everything but the stored group
    bool AnyPortInUse() const;
    std::string PortDevicePath(int i) const;            // the link path an application opens
    // The virtual port a record's bytes pass through: its own, or the shared one.
    VirtualSerialPort* PortOf(const VirtualPortEntry& entry) const;
    // The one place a configured PeerIP becomes the DTU's address: the text with the current
    // SocketPort; none (0.0.0.0) when the text is empty or no address.
    SocketAddress PeerAddress(const PortConfig& config) const;
    // Record i's configuration as the store keeps it, read under pumpLock (the receive thread
    // moves the peer address of a dynamic port, which PeerIP then names).
    PortConfig RecordConfig(int i) const;
    // Record i as front ends see it now. Main thread.
    PortStatus Status(int i) const;

    // Datagrams from the UDP server, on its receive thread, handled under one pumpLock hold
    // per receive call, so the flows never change Code or the peer address under their feet.
    void OnDatagrams(UdpServerSocket* server, const ReceivedDatagram* datagrams, int count) override;
    void OnServerStateChanged() override;
    void HandleLogin(const SocketAddress& source, const uint8_t* data, int length);
    // Adds the payload to receivedRun; FlushReceivedRun writes it to the port.
    void HandleData(const SocketAddress& source, const uint8_t* data, int length);
    void FlushReceivedRun();
    // The record a datagram with this source and code belongs to, or -1. pumpLock held.
    int MatchPort(const SocketAddress& source, std::string_view code) const;

    // Datagrams that belong to no port (a code no port has, or a fixed address with another
    // code): counted, the latest one's code and source kept under pumpLock, so the service
    // can sum them up in the log instead of a line per datagram.
    std::atomic<uint64_t> unmatchedDatagrams{0};
    std::string lastUnmatchedCode;
    SocketAddress lastUnmatchedSource;
    void NoteUnmatched(const SocketAddress& source, std::string_view code);  // pumpLock held

    // Shared-port target, for the automation interface.
    bool SelectSharedTarget(const std::string& code);
    std::string GetSharedTargetCode() const;
    void SetSharedTarget(int i);  // stores the target and wakes its pump

    // The payloads of consecutive data datagrams for one record, written to its port as one:
    // a DTU's datagrams that arrive back to back then cost its terminal one write. Receive
    // thread only, and never kept past a receive call.
    struct ReceivedRun {
        static constexpr size_t Capacity = 64 * 1024;
        int record = -1;
        SocketAddress source;  // of the latest datagram, for saying where dropped bytes came from
        std::vector<uint8_t> bytes;
    };
    ReceivedRun receivedRun;

    // The login replies of one receive call, sent together (one system call for many) before
    // the call's payloads reach their ports and at its end. Receive thread only.
    struct LoginReply {
        SocketAddress destination;
        uint8_t bytes[DtuPacket::LoginReplySize];
    };
    std::vector<LoginReply> loginReplies;
    LoginReplyRule loginReplyRule;  // receive thread only
    void SendLoginReplies();

    // Holds pumpLock for a scope.
    class PumpLockHold {
    public:
        explicit PumpLockHold(std::mutex& lock) : lock_(lock) { lock_.lock(); }
        ~PumpLockHold() { lock_.unlock(); }
        PumpLockHold(const PumpLockHold&) = delete;
        PumpLockHold& operator=(const PumpLockHold&) = delete;

    private:
        std::mutex& lock_;
    };

    PortView& view;
    VirtualPortSites& sites;

private:
    // Writes the code and, for a fixed-address port, its address into the record's row.
    void ShowConfiguredCells(int i);
    // Starts the pump when the port is open and, for a TCP port, the connection.
    void StartLinks(VirtualPortEntry& entry);
    // Records why the port is not served (none when it is) and reports it, once per port and
    // reason; a refused port directory, the one cause of every port's refusal, once.
    void SetNotServed(VirtualPortEntry& entry, const Reason& reason);
    std::set<std::string> reportedReasons;  // main thread

    // Online expiry: one thread that sleeps until the earliest moment a UDP port whose DTU
    // fell silent must be shown offline, and is woken when a port comes online.
    static uint32_t OnlineWatch(void* table);
    uint32_t ExpireSilentPorts();  // returns the milliseconds until the next check
    void StartOnlineWatch();
    void StopOnlineWatch();

    const std::string serverAddress;
    WorkerThread onlineWatchThread;
    Event onlineWatchWake{false};
    std::atomic<int> onlineWatchStopping{0};
};
