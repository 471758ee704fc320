#include "cli/PcapngWriter.h"

#include <algorithm>

namespace {

// One block under construction: its fields in the machine's byte order, as pcapng allows
// (the section's byte-order magic tells readers which one).
class Block {
public:
    explicit Block(uint32_t type) { U32(type).U32(0); }

    Block& U16(uint16_t value) { return Raw(&value, sizeof value); }
    Block& U32(uint32_t value) { return Raw(&value, sizeof value); }
    Block& Raw(const void* data, size_t length)
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), bytes, bytes + length);
        return *this;
    }
    Block& Pad()
    {
        bytes_.resize((bytes_.size() + 3) & ~size_t(3), 0);
        return *this;
    }
    Block& Option(uint16_t code, const void* value, size_t length)
    {
        U16(code).U16(static_cast<uint16_t>(length)).Raw(value, length);
        return Pad();
    }
    Block& Option(uint16_t code, std::string_view text) { return Option(code, text.data(), text.size()); }

    // Ends the options and the block (its length at both ends) and appends it to out.
    void AppendTo(std::vector<uint8_t>& out)
    {
        U16(Pcapng::OptEnd).U16(0);
        const uint32_t total = static_cast<uint32_t>(bytes_.size() + 4);
        U32(total);
        std::copy(reinterpret_cast<const uint8_t*>(&total), reinterpret_cast<const uint8_t*>(&total) + 4,
                  bytes_.begin() + 4);
        out.insert(out.end(), bytes_.begin(), bytes_.end());
    }

private:
    std::vector<uint8_t> bytes_;
};

bool IsData(TraceKind kind)
{
    return kind == TraceKind::FromDtu || kind == TraceKind::FromApplication;
}

void AppendPduTag(std::vector<uint8_t>& out, uint16_t code, std::string_view value)
{
    const size_t padded = (value.size() + 3) & ~size_t(3);
    out.insert(out.end(), {uint8_t(code >> 8), uint8_t(code), uint8_t(padded >> 8), uint8_t(padded)});
    out.insert(out.end(), value.begin(), value.end());
    out.resize(out.size() + padded - value.size(), 0);
}

}  // namespace

PcapngWriter::PcapngWriter(std::string application, std::string dissector)
    : application_(std::move(application)), dissector_(std::move(dissector))
{
}

uint32_t PcapngWriter::Interface(const TraceRecord& record, std::vector<uint8_t>& out)
{
    const auto key = std::make_pair(record.slot, record.number);
    const auto found = interfaces_.find(key);
    if (found != interfaces_.end())
        return found->second;
    const uint32_t id = static_cast<uint32_t>(interfaces_.size());
    interfaces_.emplace(key, id);

    const std::string name = record.slot == 0 ? "MV5840VSP" : "COM" + std::to_string(record.number);
    const std::string description = record.slot == 0 ? "events of no port"
                                                     : name + " (slot " + std::to_string(record.slot) + ")";
    const uint8_t microseconds = 6;
    Block(Pcapng::InterfaceDescription)
        .U16(dissector_.empty() ? LinkTypeUser0 : LinkTypeUpperPdu)
        .U16(0)
        .U32(0)  // no snapshot length limit
        .Option(Pcapng::IfName, name)
        .Option(Pcapng::IfDescription, description)
        .Option(Pcapng::IfTsResol, &microseconds, 1)
        .AppendTo(out);
    return id;
}

void PcapngWriter::Write(const TraceRecord& record, std::string_view comment, std::vector<uint8_t>& out)
{
    if (!started_) {
        started_ = true;
        const uint64_t unknownLength = ~uint64_t(0);
        Block(Pcapng::SectionHeader)
            .U32(Pcapng::ByteOrderMagic)
            .U16(1)
            .U16(0)
            .Raw(&unknownLength, sizeof unknownLength)
            .Option(Pcapng::ShbUserAppl, application_)
            .AppendTo(out);
    }
    const uint32_t id = Interface(record, out);
    const bool data = IsData(record.kind);
    // An upper PDU names its dissector; an event's empty one names none, so nothing decodes it.
    std::vector<uint8_t> packet;
    if (!dissector_.empty()) {
        if (data)
            AppendPduTag(packet, Pcapng::PduTagDissectorName, dissector_);
        AppendPduTag(packet, Pcapng::PduTagEnd, {});
    }
    if (data)
        packet.insert(packet.end(), record.bytes.begin(), record.bytes.end());
    const uint32_t length = static_cast<uint32_t>(packet.size());
    const uint64_t time = static_cast<uint64_t>(record.timeUs);
    Block block(Pcapng::EnhancedPacket);
    block.U32(id).U32(static_cast<uint32_t>(time >> 32)).U32(static_cast<uint32_t>(time)).U32(length).U32(length);
    block.Raw(packet.data(), packet.size()).Pad();
    if (data) {
        const uint32_t flags = record.kind == TraceKind::FromDtu ? Pcapng::FlagInbound : Pcapng::FlagOutbound;
        block.Option(Pcapng::EpbFlags, &flags, sizeof flags);
    } else {
        // An option value holds at most 65535 bytes; a record's text is far shorter.
        block.Option(Pcapng::OptComment, comment.substr(0, 0xFFFF));
    }
    block.AppendTo(out);
}
