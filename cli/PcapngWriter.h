#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "link/TraceRecord.h"

// A trace as a pcapng file that packet tools open: one section (shb_userappl names the
// program), one interface per port named "COM<n>" (if_name; if_description gives the slot),
// link type USER0, microsecond time stamps. The bytes from the DTU are inbound packets and the
// chunks the application wrote outbound ones (epb_flags direction bits); every other event is
// an empty packet whose comment says what happened, on its port's interface, or on an
// interface named "MV5840VSP" for what belongs to no port. Given the name of a Wireshark
// dissector for the bytes ("mbrtu"), the link type is Wireshark's upper PDU export instead,
// each packet's bytes led by that name, so Wireshark and tshark decode them as they stand.
class PcapngWriter {
public:
    static constexpr uint16_t LinkTypeUser0 = 147;
    static constexpr uint16_t LinkTypeUpperPdu = 252;

    explicit PcapngWriter(std::string application, std::string dissector = {});

    // Appends the blocks for one record to out: the section header before the first, an
    // interface description the first time a port (slot and number) appears, then the packet.
    // comment: what an event record says; ignored for data records.
    void Write(const TraceRecord& record, std::string_view comment, std::vector<uint8_t>& out);

private:
    uint32_t Interface(const TraceRecord& record, std::vector<uint8_t>& out);

    std::string application_;
    std::string dissector_;
    bool started_ = false;
    std::map<std::pair<uint16_t, uint16_t>, uint32_t> interfaces_;
};

// Block and option codes, shared with the tests that read the file back.
namespace Pcapng {
constexpr uint32_t SectionHeader = 0x0A0D0D0A;
constexpr uint32_t InterfaceDescription = 1;
constexpr uint32_t EnhancedPacket = 6;
constexpr uint32_t ByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t OptEnd = 0;
constexpr uint16_t OptComment = 1;
constexpr uint16_t ShbUserAppl = 4;
constexpr uint16_t IfName = 2;
constexpr uint16_t IfDescription = 3;
constexpr uint16_t IfTsResol = 9;
constexpr uint16_t EpbFlags = 2;
constexpr uint32_t FlagInbound = 1;
constexpr uint32_t FlagOutbound = 2;
// Tags in front of an upper PDU's bytes (big-endian code and length, the value padded to 4).
constexpr uint16_t PduTagEnd = 0;
constexpr uint16_t PduTagDissectorName = 12;
}  // namespace Pcapng
