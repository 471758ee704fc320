#include "link/TraceRecord.h"

#include <cstring>

using namespace TraceRecordLayout;

namespace {

// What a kind carries besides its header.
struct Fields {
    bool perPort;
    bool count;
    bool text;
    bool bytes;
};

bool FieldsOf(uint8_t kind, Fields& fields)
{
    switch (static_cast<TraceKind>(kind)) {
    case TraceKind::FromDtu: fields = {true, false, false, true}; return true;
    // A network client's chunk carries the client's address.
    case TraceKind::FromApplication: fields = {true, false, true, true}; return true;
    case TraceKind::NetConnect:
    case TraceKind::NetDisconnect:
    case TraceKind::NetRefused:
    case TraceKind::Login:
    case TraceKind::Offline:
    case TraceKind::TcpConnect:
    case TraceKind::TcpRefused:
    case TraceKind::TcpUp:
    case TraceKind::TcpDown: fields = {true, false, true, false}; return true;
    case TraceKind::Online: fields = {true, false, false, false}; return true;
    case TraceKind::BytesDropped: fields = {true, true, false, false}; return true;
    case TraceKind::Oversized: fields = {true, true, true, false}; return true;
    case TraceKind::UnknownCode: fields = {false, true, true, true}; return true;
    case TraceKind::RecordsLost: fields = {false, true, false, false}; return true;
    }
    return false;
}

void Put16(uint8_t* out, uint16_t value)
{
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

void Put64(uint8_t* out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t Get16(const uint8_t* in)
{
    return static_cast<uint16_t>(in[0] | in[1] << 8);
}

uint64_t Get64(const uint8_t* in)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | in[i];
    return value;
}

}  // namespace

TraceEvent Fitted(TraceEvent event)
{
    if (event.text.size() > MaxText) {
        // Cut before a UTF-8 sequence that would not fit whole.
        size_t cut = MaxText;
        while (cut > 0 && (static_cast<uint8_t>(event.text[cut]) & 0xC0) == 0x80)
            --cut;
        event.text = event.text.substr(0, cut);
    }
    if (event.length > MaxBytes)
        event.length = MaxBytes;
    if (!event.bytes)
        event.length = 0;
    return event;
}

size_t TraceRecordSize(const TraceEvent& event)
{
    const TraceEvent fitted = Fitted(event);
    return HeaderSize + fitted.text.size() + fitted.length;
}

size_t EncodeTraceRecord(const TraceEvent& event, uint8_t* out)
{
    const TraceEvent fitted = Fitted(event);
    out[0] = Magic0;
    out[1] = Magic1;
    out[2] = static_cast<uint8_t>(fitted.kind);
    out[3] = 0;
    Put16(out + 4, fitted.slot);
    Put16(out + 6, fitted.number);
    Put64(out + 8, static_cast<uint64_t>(fitted.timeUs));
    Put64(out + 16, fitted.count);
    Put16(out + 24, static_cast<uint16_t>(fitted.text.size()));
    Put16(out + 26, static_cast<uint16_t>(fitted.length));
    if (!fitted.text.empty())
        std::memcpy(out + HeaderSize, fitted.text.data(), fitted.text.size());
    if (fitted.length > 0)
        std::memcpy(out + HeaderSize + fitted.text.size(), fitted.bytes, fitted.length);
    return HeaderSize + fitted.text.size() + fitted.length;
}

void AppendTraceRecord(const TraceEvent& event, std::vector<uint8_t>& out)
{
    const size_t at = out.size();
    out.resize(at + TraceRecordSize(event));
    EncodeTraceRecord(event, out.data() + at);
}

void TraceDecoder::Feed(const uint8_t* data, size_t length)
{
    if (!error_.empty())
        return;
    // What was taken is let go before the buffer grows, so it never holds more than one
    // record's worth beyond what was fed last.
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + length);
}

TraceDecoder::Status TraceDecoder::Fail(std::string why)
{
    error_ = std::move(why);
    buffer_.clear();
    start_ = 0;
    return Status::Malformed;
}

TraceDecoder::Status TraceDecoder::Next(TraceRecord& record)
{
    if (!error_.empty())
        return Status::Malformed;
    const uint8_t* in = buffer_.data() + start_;
    const size_t available = buffer_.size() - start_;
    // Whatever has arrived of the header is checked at once: a stream that is not a trace
    // fails on its first bytes instead of waiting for a length it will never send.
    if (available >= 1 && in[0] != Magic0)
        return Fail("not a trace record (bad magic)");
    if (available >= 2 && in[1] != Magic1)
        return Fail("not a trace record (bad magic)");
    Fields fields{};
    if (available >= 3 && !FieldsOf(in[2], fields))
        return Fail("unknown record kind " + std::to_string(in[2]));
    if (available < HeaderSize)
        return Status::NeedMore;

    if (in[3] != 0)
        return Fail("reserved byte is not 0");
    const uint16_t slot = Get16(in + 4);
    const uint16_t number = Get16(in + 6);
    const uint64_t count = Get64(in + 16);
    const size_t textLength = Get16(in + 24);
    const size_t bytesLength = Get16(in + 26);
    if (fields.perPort ? (slot < 1 || slot > MaxSlot) : (slot != 0 || number != 0))
        return Fail("slot " + std::to_string(slot) + " does not fit the record kind");
    if (textLength > MaxText)
        return Fail("text of " + std::to_string(textLength) + " bytes");
    if ((!fields.count && count != 0) || (!fields.text && textLength != 0) || (!fields.bytes && bytesLength != 0))
        return Fail("a field the record kind does not carry");
    if (available < HeaderSize + textLength + bytesLength)
        return Status::NeedMore;

    record.kind = static_cast<TraceKind>(in[2]);
    record.slot = slot;
    record.number = number;
    record.timeUs = static_cast<int64_t>(Get64(in + 8));
    record.count = count;
    record.text.assign(reinterpret_cast<const char*>(in + HeaderSize), textLength);
    record.bytes.assign(in + HeaderSize + textLength, in + HeaderSize + textLength + bytesLength);
    start_ += HeaderSize + textLength + bytesLength;
    return Status::Record;
}

std::string_view TraceKindName(TraceKind kind)
{
    switch (kind) {
    case TraceKind::FromDtu: return "rx";
    case TraceKind::FromApplication: return "tx";
    case TraceKind::Login: return "login";
    case TraceKind::Online: return "online";
    case TraceKind::Offline: return "offline";
    case TraceKind::TcpConnect: return "tcp-connect";
    case TraceKind::TcpRefused: return "tcp-refused";
    case TraceKind::TcpUp: return "tcp-up";
    case TraceKind::TcpDown: return "tcp-down";
    case TraceKind::BytesDropped: return "dropped";
    case TraceKind::Oversized: return "oversized";
    case TraceKind::UnknownCode: return "unknown-code";
    case TraceKind::RecordsLost: return "lost";
    case TraceKind::NetConnect: return "net-connect";
    case TraceKind::NetDisconnect: return "net-disconnect";
    case TraceKind::NetRefused: return "net-refused";
    }
    return "?";
}
