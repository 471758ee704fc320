#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "link/DtuPacket.h"
#include "link/LoginReplyRule.h"
#include "link/RecordMatch.h"
#include "net/Clock.h"
#include "net/EventLoop.h"
#include "net/SocketAddress.h"
#include "net/UdpEndpoint.h"

class PortRecords;
class PortTrace;
class VirtualSerialPort;
struct VirtualPortEntry;

// Datagrams that belong to no port (a code no port has, or a fixed address with another code):
// counted, the latest one's code and source kept, so the service can sum them up in the log
// instead of a line per datagram.
struct UnmatchedSummary {
    uint64_t count = 0;
    std::string code;
    SocketAddress source;
};

// The UDP server DTUs log in to, and what comes in on it: each datagram matched to its record,
// logins answered (batched, by the reply rule), payloads written to the record's port, what
// matches no port counted. Loop thread only: nothing changes Code or the peer address under
// its feet.
class DatagramIntake : private UdpEndpoint::Owner {
public:
    // What the intake needs of the data path around it.
    class Host {
    public:
        // The virtual port a record's bytes go into; null for none.
        virtual VirtualSerialPort* PortOf(const VirtualPortEntry& entry) const = 0;
        // A record came online: it has an expiry deadline now.
        virtual void CameOnline() = 0;
        // A dynamic-login TCP port's DTU logged in from a new address: its link follows.
        virtual void DtuMoved(VirtualPortEntry& entry) = 0;
        // Records changed (counts, addresses, marks, latest errors) or datagrams of no port came.
        virtual void Changed() = 0;

    protected:
        ~Host() = default;
    };

    DatagramIntake(EventLoop& loop, const SocketAddress& local, PortRecords& records, PortTrace& trace, Host& host);
    ~DatagramIntake();
    DatagramIntake(const DatagramIntake&) = delete;
    DatagramIntake& operator=(const DatagramIntake&) = delete;

    // The server's socket, for starting, stopping and the pumps' datagrams.
    UdpEndpoint& Endpoint() { return *udpServer_; }
    // The endpoint's socket is open; any thread.
    bool Open() const { return udpOpen_.load(); }
    const UnmatchedSummary& Unmatched() const { return unmatched_; }
    // The records' service, codes or fixed addresses may have changed (after every command).
    void RecordsChanged() { match_.Stale(); }

private:
    void OnDatagrams(const ReceivedDatagram* datagrams, int count) override;
    void OnOpenChanged(bool open) override;
    // A datagram longer than the endpoint takes: counted for its port, or as one of no port.
    void OnOversized(const ReceivedDatagram& head, size_t length) override;
    void HandleLogin(const SocketAddress& source, const uint8_t* data, int length);
    // Adds the payload to receivedRun_; FlushReceivedRun writes it to the port.
    void HandleData(const SocketAddress& source, const uint8_t* data, int length);
    void FlushReceivedRun();
    // The record a DTU's datagram belongs to; -1 when it carries no code or matches no port
    // (then counted as unmatched).
    int RecordFor(const SocketAddress& source, const uint8_t* data, int length);
    void NoteUnmatched(const SocketAddress& source, std::string_view code, int length);
    void SendLoginReplies();

    Clock& clock_;
    PortRecords& records_;
    RecordMatch match_;
    PortTrace& trace_;
    Host& host_;
    std::unique_ptr<UdpEndpoint> udpServer_;
    std::atomic<bool> udpOpen_{false};
    UnmatchedSummary unmatched_;

    // The payloads of consecutive data datagrams for one record, written to its port as one:
    // a DTU's datagrams that arrive back to back then cost its terminal one write. Never kept
    // past a receive call.
    struct ReceivedRun {
        static constexpr size_t Capacity = 64 * 1024;
        int record = -1;
        SocketAddress source;  // of the latest datagram, for saying where dropped bytes came from
        std::vector<uint8_t> bytes;
    };
    ReceivedRun receivedRun_;

    // The login replies of one receive call, sent together (one system call for many) before
    // the call's payloads reach their ports and at its end.
    struct LoginReply {
        SocketAddress destination;
        uint8_t bytes[DtuPacket::LoginReplySize];
    };
    std::vector<LoginReply> loginReplies_;
    LoginReplyRule loginReplyRule_;
};
