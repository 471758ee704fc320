#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cli/PcapngWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A pcapng file read back block by block, as a packet tool reads it.
struct Block {
    uint32_t type = 0;
    Bytes body;  // between the length fields
    std::multimap<uint16_t, std::string> options;
};

uint16_t U16(const uint8_t* at)
{
    uint16_t value;
    std::memcpy(&value, at, 2);
    return value;
}

uint32_t U32(const uint8_t* at)
{
    uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

// Options from offset on; fails the test on a malformed list.
std::multimap<uint16_t, std::string> Options(const Bytes& body, size_t offset)
{
    std::multimap<uint16_t, std::string> options;
    for (;;) {
        EXPECT_LE(offset + 4, body.size());
        if (offset + 4 > body.size())
            return options;
        const uint16_t code = U16(&body[offset]);
        const uint16_t length = U16(&body[offset + 2]);
        if (code == Pcapng::OptEnd) {
            EXPECT_EQ(length, 0);
            EXPECT_EQ(offset + 4, body.size()) << "bytes after the end of the options";
            return options;
        }
        const size_t padded = (length + 3u) & ~3u;
        EXPECT_LE(offset + 4 + padded, body.size());
        if (offset + 4 + padded > body.size())
            return options;
        options.emplace(code, std::string(reinterpret_cast<const char*>(&body[offset + 4]), length));
        for (size_t i = length; i < padded; ++i)
            EXPECT_EQ(body[offset + 4 + i], 0) << "padding";
        offset += 4 + padded;
    }
}

std::vector<Block> Parse(const Bytes& file)
{
    std::vector<Block> blocks;
    size_t at = 0;
    while (at < file.size()) {
        EXPECT_LE(at + 12, file.size());
        if (at + 12 > file.size())
            break;
        Block block;
        block.type = U32(&file[at]);
        const uint32_t length = U32(&file[at + 4]);
        EXPECT_EQ(length % 4, 0u);
        EXPECT_LE(at + length, file.size());
        if (length < 12 || at + length > file.size())
            break;
        EXPECT_EQ(U32(&file[at + length - 4]), length) << "trailing length";
        block.body.assign(file.begin() + at + 8, file.begin() + at + length - 4);
        size_t optionsAt = 0;
        if (block.type == Pcapng::SectionHeader) {
            optionsAt = 16;
        } else if (block.type == Pcapng::InterfaceDescription) {
            optionsAt = 8;
        } else if (block.type == Pcapng::EnhancedPacket) {
            optionsAt = 20 + ((U32(&block.body[12]) + 3u) & ~3u);
        } else {
            ADD_FAILURE() << "unexpected block type " << block.type;
        }
        block.options = Options(block.body, optionsAt);
        blocks.push_back(block);
        at += length;
    }
    return blocks;
}

TraceRecord Record(TraceKind kind, uint16_t slot, uint16_t number, int64_t timeUs, Bytes bytes = {})
{
    TraceRecord record;
    record.kind = kind;
    record.slot = slot;
    record.number = number;
    record.timeUs = timeUs;
    record.bytes = std::move(bytes);
    return record;
}

std::string Option(const Block& block, uint16_t code)
{
    const auto found = block.options.find(code);
    return found == block.options.end() ? std::string("(none)") : found->second;
}

}  // namespace

TEST(PcapngWriter, OneSectionOneInterfacePerPortAndDirectionsInTheFlags)
{
    PcapngWriter writer("MV5840VSP 1.0");
    Bytes file;
    const int64_t t = 1765191636123456;  // 2025-12-08T11:00:36.123456Z
    writer.Write(Record(TraceKind::FromApplication, 3, 7, t, {0x01, 0x03, 0x00, 0x00, 0x00, 0x0a}), "", file);
    writer.Write(Record(TraceKind::FromDtu, 3, 7, t + 15000, {0x01, 0x03, 0x02, 0x12, 0x34}), "", file);
    writer.Write(Record(TraceKind::Login, 4, 12, t + 20000), "login from 192.0.2.7:40001", file);
    writer.Write(Record(TraceKind::FromDtu, 4, 12, t + 30000, {'A'}), "", file);
    TraceRecord lost = Record(TraceKind::RecordsLost, 0, 0, t + 40000);
    lost.count = 9;
    writer.Write(lost, "9 trace records lost", file);

    const std::vector<Block> blocks = Parse(file);
    ASSERT_EQ(blocks.size(), 9u);
    const std::vector<uint32_t> types = {
        Pcapng::SectionHeader,  Pcapng::InterfaceDescription, Pcapng::EnhancedPacket,
        Pcapng::EnhancedPacket, Pcapng::InterfaceDescription, Pcapng::EnhancedPacket,
        Pcapng::EnhancedPacket, Pcapng::InterfaceDescription, Pcapng::EnhancedPacket,
    };
    for (size_t i = 0; i < types.size(); ++i)
        EXPECT_EQ(blocks[i].type, types[i]) << i;

    // The section: byte-order magic, version 1.0, unknown length, the program's name.
    const Block& section = blocks[0];
    EXPECT_EQ(U32(&section.body[0]), Pcapng::ByteOrderMagic);
    EXPECT_EQ(U16(&section.body[4]), 1);
    EXPECT_EQ(U16(&section.body[6]), 0);
    EXPECT_EQ(U32(&section.body[8]), 0xFFFFFFFFu);
    EXPECT_EQ(U32(&section.body[12]), 0xFFFFFFFFu);
    EXPECT_EQ(Option(section, Pcapng::ShbUserAppl), "MV5840VSP 1.0");

    // Interfaces: USER0, named after the port, microseconds.
    const Block& com7 = blocks[1];
    EXPECT_EQ(U16(&com7.body[0]), 147);
    EXPECT_EQ(Option(com7, Pcapng::IfName), "COM7");
    EXPECT_EQ(Option(com7, Pcapng::IfDescription), "COM7 (slot 3)");
    EXPECT_EQ(Option(com7, Pcapng::IfTsResol), std::string(1, '\x06'));
    EXPECT_EQ(Option(blocks[4], Pcapng::IfName), "COM12");
    EXPECT_EQ(Option(blocks[7], Pcapng::IfName), "MV5840VSP");

    // Packets: interface, time, lengths, bytes, direction.
    const Block& written = blocks[2];
    EXPECT_EQ(U32(&written.body[0]), 0u);
    const uint64_t time = uint64_t(U32(&written.body[4])) << 32 | U32(&written.body[8]);
    EXPECT_EQ(time, uint64_t(t));
    EXPECT_EQ(U32(&written.body[12]), 6u);
    EXPECT_EQ(U32(&written.body[16]), 6u);
    EXPECT_EQ(Bytes(written.body.begin() + 20, written.body.begin() + 26), Bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x0a}));
    uint32_t flags = 0;
    std::memcpy(&flags, Option(written, Pcapng::EpbFlags).data(), 4);
    EXPECT_EQ(flags, Pcapng::FlagOutbound);
    std::memcpy(&flags, Option(blocks[3], Pcapng::EpbFlags).data(), 4);
    EXPECT_EQ(flags, Pcapng::FlagInbound);
    EXPECT_EQ(U32(&blocks[3].body[12]), 5u);

    // An event: an empty packet on its port's interface, its comment says what happened.
    const Block& login = blocks[5];
    EXPECT_EQ(U32(&login.body[0]), 1u);
    EXPECT_EQ(U32(&login.body[12]), 0u);
    EXPECT_EQ(Option(login, Pcapng::OptComment), "login from 192.0.2.7:40001");
    EXPECT_EQ(login.options.count(Pcapng::EpbFlags), 0u);
    EXPECT_EQ(U32(&blocks[6].body[0]), 1u);
    EXPECT_EQ(U32(&blocks[8].body[0]), 2u);
    EXPECT_EQ(Option(blocks[8], Pcapng::OptComment), "9 trace records lost");
}

// With a dissector named, Wireshark's upper PDU export: each data packet's bytes follow the
// dissector's name (tag 12, big-endian, padded) and the end tag; an event names no dissector.
TEST(PcapngWriter, UpperPduPacketsNameTheirDissector)
{
    PcapngWriter writer("MV5840VSP", "mbrtu");
    Bytes file;
    writer.Write(Record(TraceKind::FromApplication, 3, 7, 1, {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xc4, 0x0b}), "",
                 file);
    writer.Write(Record(TraceKind::Login, 3, 7, 2), "login from 192.0.2.7:40001", file);
    const std::vector<Block> blocks = Parse(file);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(U16(&blocks[1].body[0]), PcapngWriter::LinkTypeUpperPdu);

    const Bytes tags = {0, 12, 0, 8, 'm', 'b', 'r', 't', 'u', 0, 0, 0, 0, 0, 0, 0};
    Bytes expected = tags;
    expected.insert(expected.end(), {0x01, 0x03, 0x00, 0x00, 0x00, 0x02, 0xc4, 0x0b});
    const Block& written = blocks[2];
    ASSERT_EQ(U32(&written.body[12]), expected.size());
    EXPECT_EQ(Bytes(written.body.begin() + 20, written.body.begin() + 20 + long(expected.size())), expected);
    uint32_t flags = 0;
    std::memcpy(&flags, Option(written, Pcapng::EpbFlags).data(), 4);
    EXPECT_EQ(flags, Pcapng::FlagOutbound);

    const Block& login = blocks[3];
    ASSERT_EQ(U32(&login.body[12]), 4u);
    EXPECT_EQ(Bytes(login.body.begin() + 20, login.body.begin() + 24), Bytes({0, 0, 0, 0}));
    EXPECT_EQ(Option(login, Pcapng::OptComment), "login from 192.0.2.7:40001");
}

TEST(PcapngWriter, APortWhoseNumberChangedGetsAnInterfaceOfItsNewName)
{
    PcapngWriter writer("MV5840VSP");
    Bytes file;
    writer.Write(Record(TraceKind::FromDtu, 1, 5, 1, {1}), "", file);
    writer.Write(Record(TraceKind::FromDtu, 1, 9, 2, {2}), "", file);
    writer.Write(Record(TraceKind::FromDtu, 1, 5, 3, {3}), "", file);
    const std::vector<Block> blocks = Parse(file);
    ASSERT_EQ(blocks.size(), 6u);
    EXPECT_EQ(Option(blocks[1], Pcapng::IfName), "COM5");
    EXPECT_EQ(Option(blocks[3], Pcapng::IfName), "COM9");
    EXPECT_EQ(U32(&blocks[5].body[0]), 0u);
}
