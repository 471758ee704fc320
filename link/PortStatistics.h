#pragma once

#include <cstdint>
#include <string>

// What a port counts for the user who asks why a line goes bad. Counters start at 0 when the
// port is served and only grow.
struct PortStatistics {
    uint64_t rxBytes = 0;      // bytes from the DTU
    uint64_t rxDatagrams = 0;  // data datagrams or TCP reads from the DTU
    uint64_t txBytes = 0;      // bytes sent to the DTU
    uint64_t txChunks = 0;     // chunks of the application's bytes sent to the DTU
    uint64_t logins = 0;
    uint64_t loginAddressChanges = 0;  // logins from another address than the one before
    uint64_t tcpConnects = 0;          // connections that came up
    uint64_t tcpRefusals = 0;          // attempts that failed
    uint64_t tcpDisconnects = 0;       // connections that ended
    uint64_t bytesDropped = 0;         // bytes from the DTU the port had no room for
    uint64_t oversizedDatagrams = 0;   // datagrams too long to take, from the DTU's address
    uint64_t netClients = 0;           // network clients that connected
    std::string lastError;             // the latest failure, English; "" for none
    int64_t lastErrorMs = -1;          // its time, ms since the Unix epoch; -1 for none
};

// What belongs to no port.
struct GlobalStatistics {
    uint64_t unknownCodeDatagrams = 0;  // datagrams whose code no port has
    std::string lastUnknownSource;      // the latest one's source "a.b.c.d:port"; "" for none
};

// The counters with the keys they have in a port's dictionary on the bus and in
// `list --json`, and the names and help of their Prometheus metrics: one line per counter,
// so a new counter is one field and one line here.
struct StatisticsCounter {
    const char* key;
    uint64_t PortStatistics::*field;
    const char* metric;
    const char* help;
};

inline constexpr StatisticsCounter PortCounters[] = {
    {"rx", &PortStatistics::rxBytes, "mv5840vsp_received_bytes_total", "Bytes received from the DTU."},
    {"rx_datagrams", &PortStatistics::rxDatagrams, "mv5840vsp_received_datagrams_total",
     "Data datagrams or TCP reads received from the DTU."},
    {"tx", &PortStatistics::txBytes, "mv5840vsp_sent_bytes_total", "Bytes sent to the DTU."},
    {"tx_chunks", &PortStatistics::txChunks, "mv5840vsp_sent_chunks_total",
     "Chunks of the application's bytes sent to the DTU."},
    {"logins", &PortStatistics::logins, "mv5840vsp_logins_total", "Logins of the DTU."},
    {"login_address_changes", &PortStatistics::loginAddressChanges, "mv5840vsp_login_address_changes_total",
     "Logins from another address than the one before."},
    {"tcp_connects", &PortStatistics::tcpConnects, "mv5840vsp_tcp_connects_total",
     "TCP connections to the DTU that came up."},
    {"tcp_refusals", &PortStatistics::tcpRefusals, "mv5840vsp_tcp_refusals_total",
     "TCP connection attempts to the DTU that failed."},
    {"tcp_disconnects", &PortStatistics::tcpDisconnects, "mv5840vsp_tcp_disconnects_total",
     "TCP connections to the DTU that ended."},
    {"bytes_dropped", &PortStatistics::bytesDropped, "mv5840vsp_dropped_bytes_total",
     "Bytes from the DTU dropped because the application did not read them."},
    {"oversized_datagrams", &PortStatistics::oversizedDatagrams, "mv5840vsp_oversized_datagrams_total",
     "Datagrams from the DTU too long to take."},
    {"net_clients", &PortStatistics::netClients, "mv5840vsp_net_clients_total",
     "Network clients that connected to the port."},
};

// Keys of the rest, in the same dictionaries.
namespace StatisticsKeys {
constexpr const char* LastError = "last_error";                         // s, "" for none
constexpr const char* LastErrorTime = "last_error_time";                // x, ms since the epoch, -1 none
constexpr const char* UnknownCodeDatagrams = "unknown_code_datagrams";  // t
constexpr const char* LastUnknownSource = "unknown_code_last_source";   // s, "" for none
}  // namespace StatisticsKeys
