#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One event of the data path as a watcher receives it on a byte stream (a pipe or a socket).
// Every record has the same fixed header, then its text and its bytes:
//
//   offset  size  field
//        0     2  magic 'T' 'R'
//        2     1  kind (TraceKind)
//        3     1  0 (reserved)
//        4     2  slot, 1 to 200; 0 for what belongs to no port
//        6     2  the port's COM number; 0 for what belongs to no port
//        8     8  time: microseconds since the Unix epoch, UTC
//       16     8  count (what it counts depends on the kind, else 0)
//       24     2  length of the text (at most MaxText)
//       26     2  length of the bytes (at most MaxBytes)
//       28        the text (UTF-8), then the bytes
//
// Integers are little-endian. Which of count, text and bytes a kind carries is fixed, so a
// record that carries another is malformed.
enum class TraceKind : uint8_t {
    FromDtu = 1,          // a datagram's payload or a TCP read from the DTU: bytes
    FromApplication = 2,  // a chunk the application wrote, as sent to the DTU: bytes
    Login = 3,            // a login: text = the DTU's address "a.b.c.d:port"
    Online = 4,           // the port went online
    Offline = 5,          // the port went offline: text = why
    TcpConnect = 6,       // a connection attempt: text = the DTU's address
    TcpRefused = 7,       // the attempt failed: text = why
    TcpUp = 8,            // the connection is up: text = the DTU's address
    TcpDown = 9,          // the connection ended: text = why
    BytesDropped = 10,    // bytes from the DTU the port had no room for: count = how many
    Oversized = 11,       // a datagram too long to take: text = its source, count = its length
    UnknownCode = 12,     // a datagram whose code no port has (no port): text = its source,
                          // bytes = the code, count = its length
    RecordsLost = 13,     // the watcher did not keep up (no port): count = records not written
    NetConnect = 14,      // a network client took the port: text = its address
    NetDisconnect = 15,   // the network client went: text = its address and why
    NetRefused = 16,      // a network client was refused: text = its address and why
};

namespace TraceRecordLayout {
constexpr uint8_t Magic0 = 'T';
constexpr uint8_t Magic1 = 'R';
constexpr size_t HeaderSize = 28;
constexpr size_t MaxText = 256;
constexpr size_t MaxBytes = 65535;
constexpr size_t MaxRecord = HeaderSize + MaxText + MaxBytes;
constexpr uint16_t MaxSlot = 200;
}  // namespace TraceRecordLayout

// An event to write. Text and bytes are views: the loop writes a record straight from its
// own buffers.
struct TraceEvent {
    TraceKind kind = TraceKind::FromDtu;
    uint16_t slot = 0;
    uint16_t number = 0;
    int64_t timeUs = 0;
    uint64_t count = 0;
    std::string_view text;
    const uint8_t* bytes = nullptr;
    size_t length = 0;
};

// A record read back: it owns its text and bytes.
struct TraceRecord {
    TraceKind kind = TraceKind::FromDtu;
    uint16_t slot = 0;
    uint16_t number = 0;
    int64_t timeUs = 0;
    uint64_t count = 0;
    std::string text;
    std::vector<uint8_t> bytes;

    TraceEvent View() const { return {kind, slot, number, timeUs, count, text, bytes.data(), bytes.size()}; }
};

// The event with its text and bytes cut to what a record carries (a longer text is cut, as
// are more bytes than MaxBytes, which no datagram or read reaches).
TraceEvent Fitted(TraceEvent event);

// The encoded size of the event once fitted.
size_t TraceRecordSize(const TraceEvent& event);

// Writes the fitted event at out, which holds at least TraceRecordSize(event) bytes; returns
// the count written.
size_t EncodeTraceRecord(const TraceEvent& event, uint8_t* out);

// Appends the fitted event to out.
void AppendTraceRecord(const TraceEvent& event, std::vector<uint8_t>& out);

// Records from a stream that arrives in pieces of any size. After a malformed record the
// stream is out of step for good: the decoder stays failed.
class TraceDecoder {
public:
    enum class Status { Record, NeedMore, Malformed };

    void Feed(const uint8_t* data, size_t length);
    // The next whole record into record, NeedMore until one has arrived whole, or Malformed
    // (with Error() saying why).
    Status Next(TraceRecord& record);
    const std::string& Error() const { return error_; }
    // Bytes fed and not yet taken as records (a stream that ends with some ended mid-record).
    size_t Buffered() const { return buffer_.size() - start_; }

private:
    Status Fail(std::string why);

    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    std::string error_;
};

// The kind's stable name: "rx", "tx", "login", "online", "offline", "tcp-connect",
// "tcp-refused", "tcp-up", "tcp-down", "dropped", "oversized", "unknown-code", "lost".
std::string_view TraceKindName(TraceKind kind);
