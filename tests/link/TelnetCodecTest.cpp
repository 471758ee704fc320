// The Telnet layer and RFC 2217's server side as pure functions: escaping, splitting a client's
// stream at every byte boundary, negotiation, and each COM-PORT-OPTION command's answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/ComPortControl.h"
#include "link/TelnetCodec.h"

using namespace Telnet;
using Bytes = std::vector<uint8_t>;

namespace {

// What a reader handed on, as one line of text per event, data joined.
class Recorder : public Reader::Handler {
public:
    void OnData(const uint8_t* data, size_t size) override
    {
        if (events.empty() || events.back().rfind("data:", 0) != 0)
            events.push_back("data:");
        events.back().append(reinterpret_cast<const char*>(data), size);
    }
    void OnOption(uint8_t verb, uint8_t option) override
    {
        events.push_back("opt:" + std::to_string(verb) + "," + std::to_string(option));
    }
    void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t size) override
    {
        std::string text = "sub:" + std::to_string(option);
        for (size_t i = 0; i < size; ++i)
            text += "," + std::to_string(payload[i]);
        events.push_back(text);
    }
    std::vector<std::string> events;
};

std::vector<std::string> ReadInPieces(const Bytes& stream, size_t piece, bool binary = true)
{
    Reader reader;
    reader.PeerBinary(binary);
    Recorder recorder;
    for (size_t at = 0; at < stream.size(); at += piece)
        reader.Feed(stream.data() + at, std::min(piece, stream.size() - at), recorder);
    return recorder.events;
}

Bytes Sub(const Bytes& payload)
{
    Bytes out;
    AppendSubnegotiation(OptionComPort, payload.data(), payload.size(), out);
    return out;
}

}  // namespace

TEST(TelnetCodec, DataDoublesEveryIacAndMarksABareCrOnlyOutsideBinary)
{
    const Bytes data = {'a', 0xff, 0xff, '\r', 'b'};
    Bytes binary;
    AppendData(data.data(), data.size(), true, binary);
    EXPECT_EQ(binary, (Bytes{'a', 0xff, 0xff, 0xff, 0xff, '\r', 'b'}));
    Bytes text;
    AppendData(data.data(), data.size(), false, text);
    EXPECT_EQ(text, (Bytes{'a', 0xff, 0xff, 0xff, 0xff, '\r', 0, 'b'}));

    // Every byte value survives the trip, split anywhere.
    Bytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<uint8_t>(i));
    Bytes wire;
    AppendData(all.data(), all.size(), true, wire);
    for (size_t piece : {1, 2, 3, 7, 300}) {
        const auto events = ReadInPieces(wire, piece);
        ASSERT_EQ(events.size(), 1u) << piece;
        EXPECT_EQ(events[0], "data:" + std::string(all.begin(), all.end())) << piece;
    }
}

TEST(TelnetCodec, ReaderKeepsTheOrderOfDataVerbsAndSubnegotiationsAcrossAnySplit)
{
    Bytes stream = {'x', IAC, IAC, 'y'};
    AppendOption(WILL, OptionComPort, stream);
    stream.push_back('z');
    // A subnegotiation whose value holds a doubled IAC (a baud rate with a 0xff byte).
    const Bytes sub = Sub({1, 0x00, 0x00, 0xff, 0x10});
    stream.insert(stream.end(), sub.begin(), sub.end());
    stream.insert(stream.end(), {IAC, NOP, 'w', IAC, DONT, 7});
    const std::vector<std::string> expected = {"data:x\xffy",         "opt:251,44", "data:z",
                                               "sub:44,1,0,0,255,16", "data:w",     "opt:254,7"};
    for (size_t piece = 1; piece <= stream.size(); ++piece)
        EXPECT_EQ(ReadInPieces(stream, piece), expected) << "pieces of " << piece;
}

TEST(TelnetCodec, ReaderDropsTheNulAfterCrOnlyWhileThePeerIsNotBinary)
{
    const Bytes stream = {'a', '\r', 0, 'b', '\r', '\n', 0};
    for (size_t piece : {1, 2, 7}) {
        EXPECT_EQ(ReadInPieces(stream, piece, false), (std::vector<std::string>{std::string("data:a\rb\r\n\0", 11)}));
        EXPECT_EQ(ReadInPieces(stream, piece, true), (std::vector<std::string>{std::string("data:a\r\0b\r\n\0", 12)}));
    }
}

TEST(TelnetCodec, ReaderCutsAnOverlongSubnegotiationAndRecoversFromABrokenOne)
{
    Bytes stream = {IAC, SB, OptionComPort};
    stream.insert(stream.end(), 200, 7);
    stream.insert(stream.end(), {IAC, SE, 'a'});
    auto events = ReadInPieces(stream, 5);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].size(), std::string("sub:44").size() + 2 * Reader::MaxSubnegotiation);
    EXPECT_EQ(events[1], "data:a");

    // IAC WILL inside a subnegotiation: the subnegotiation is dropped, the verb read.
    const Bytes broken = {IAC, SB, OptionComPort, 1, 2, IAC, WILL, 3, 'b'};
    for (size_t piece : {1, 4, 9})
        EXPECT_EQ(ReadInPieces(broken, piece), (std::vector<std::string>{"opt:251,3", "data:b"}));
}

TEST(TelnetCodec, NegotiationOffersOurOptionsAndAnswersOnlyChanges)
{
    Options options;
    Bytes out;
    options.Start(out);
    EXPECT_EQ(out, (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44, IAC, DO, 44}));
    EXPECT_FALSE(options.Ours(OptionBinary));

    // Answers to our requests end the exchange silently.
    out.clear();
    options.Receive(DO, OptionBinary, out);
    options.Receive(WILL, OptionBinary, out);
    options.Receive(WILL, OptionComPort, out);
    options.Receive(DO, OptionComPort, out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(options.Ours(OptionBinary));
    EXPECT_TRUE(options.Theirs(OptionBinary));
    EXPECT_TRUE(options.Theirs(OptionComPort));

    // A repeat asks nothing; a change is acknowledged once; a refusal of a request stays.
    options.Receive(WILL, OptionComPort, out);
    EXPECT_TRUE(out.empty());
    options.Receive(WONT, OptionBinary, out);
    EXPECT_EQ(out, (Bytes{IAC, DONT, 0}));
    EXPECT_FALSE(options.Theirs(OptionBinary));
    out.clear();
    options.Receive(DONT, OptionSuppressGoAhead, out);
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(options.Ours(OptionSuppressGoAhead));
    options.Receive(DO, OptionSuppressGoAhead, out);
    EXPECT_EQ(out, (Bytes{IAC, WILL, 3}));

    // Options we do not have are refused, and a refusal of one is not answered.
    out.clear();
    options.Receive(DO, OptionEcho, out);
    options.Receive(WILL, 24, out);
    options.Receive(DONT, OptionEcho, out);
    options.Receive(WONT, 24, out);
    EXPECT_EQ(out, (Bytes{IAC, WONT, 1, IAC, DONT, 24}));
}

TEST(ComPortControl, SettingsAreTakenAndAnsweredWithTheValueTaken)
{
    ComPortControl port;
    Bytes out;
    auto effect = port.Handle(Bytes{1, 0x00, 0x01, 0xc2, 0x00}.data(), 5, out);  // 115200
    EXPECT_TRUE(effect.settingsChanged);
    EXPECT_EQ(out, Sub({101, 0x00, 0x01, 0xc2, 0x00}));
    EXPECT_EQ(port.BaudRate(), 115200u);

    // A baud rate with a 0xff byte goes out with the IAC doubled.
    out.clear();
    port.Handle(Bytes{1, 0x00, 0x00, 0x00, 0xff}.data(), 5, out);
    EXPECT_EQ(out, (Bytes{IAC, SB, 44, 101, 0, 0, 0, IAC, IAC, IAC, SE}));

    // 8E1, 7O2, 5N1.5.
    for (auto [data, parity, stop, text] :
         {std::tuple{8, 3, 1, "255 8E1"}, std::tuple{7, 2, 2, "255 7O2"}, std::tuple{5, 1, 3, "255 5N2"}}) {
        out.clear();
        port.Handle(Bytes{2, uint8_t(data)}.data(), 2, out);
        port.Handle(Bytes{3, uint8_t(parity)}.data(), 2, out);
        port.Handle(Bytes{4, uint8_t(stop)}.data(), 2, out);
        Bytes expected = Sub({102, uint8_t(data)});
        for (const Bytes& b : {Sub({103, uint8_t(parity)}), Sub({104, uint8_t(stop)})})
            expected.insert(expected.end(), b.begin(), b.end());
        EXPECT_EQ(out, expected);
        EXPECT_EQ(port.Settings().Text().substr(0, std::string(text).size()), text);
    }

    // A query (0) and a value out of range answer with what holds; nothing changes.
    out.clear();
    effect = port.Handle(Bytes{2, 0}.data(), 2, out);
    effect = port.Handle(Bytes{2, 9}.data(), 2, out);
    EXPECT_FALSE(effect.settingsChanged);
    const Bytes once = Sub({102, 5});
    Bytes twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(out, twice);
    out.clear();
    port.Handle(Bytes{1, 0, 0, 0, 0}.data(), 5, out);
    EXPECT_EQ(out, (Bytes{IAC, SB, 44, 101, 0, 0, 0, IAC, IAC, IAC, SE}));
    EXPECT_EQ(port.BaudRate(), 255u);
}

TEST(ComPortControl, ControlSetsAndReportsFlowDtrRtsAndBreak)
{
    ComPortControl port;
    Bytes out;
    for (uint8_t v : {3, 8, 11, 5, 16}) {
        out.clear();
        EXPECT_TRUE(port.Handle(Bytes{5, v}.data(), 2, out).settingsChanged) << int(v);
        EXPECT_EQ(out, Sub({105, v}));
    }
    const LineState state = port.Settings();
    EXPECT_EQ(state.flow, "rtscts");
    EXPECT_TRUE(state.dtr);
    EXPECT_TRUE(state.rts);
    // Requests answer with the state.
    for (auto [ask, state] :
         {std::pair{0, 3}, std::pair{4, 5}, std::pair{7, 8}, std::pair{10, 11}, std::pair{13, 16}}) {
        out.clear();
        EXPECT_FALSE(port.Handle(Bytes{5, uint8_t(ask)}.data(), 2, out).settingsChanged);
        EXPECT_EQ(out, Sub({105, uint8_t(state)})) << ask;
    }
    out.clear();
    port.Handle(Bytes{5, 9}.data(), 2, out);
    port.Handle(Bytes{5, 2}.data(), 2, out);
    EXPECT_FALSE(port.Settings().dtr);
    EXPECT_EQ(port.Settings().flow, "xonxoff");
    // Not a control value: no answer.
    out.clear();
    port.Handle(Bytes{5, 99}.data(), 2, out);
    EXPECT_TRUE(out.empty());
}

TEST(ComPortControl, NotificationsMasksPurgeAndFlowControl)
{
    ComPortControl port;
    Bytes out;
    port.AppendModemState(out);
    EXPECT_EQ(out, Sub({107, 0xb0}));  // CTS, DSR, CD

    out.clear();
    port.Handle(Bytes{7, 0}.data(), 2, out);
    port.Handle(Bytes{6, 0}.data(), 2, out);
    Bytes expected = Sub({107, 0xb0});
    const Bytes line = Sub({106, 0x60});
    expected.insert(expected.end(), line.begin(), line.end());
    EXPECT_EQ(out, expected);

    out.clear();
    port.Handle(Bytes{11, 0x10}.data(), 2, out);
    port.Handle(Bytes{10, 0x60}.data(), 2, out);
    port.AppendModemState(out);
    expected = Sub({111, 0x10});
    for (const Bytes& b : {Sub({110, 0x60}), Sub({107, 0x10})})
        expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(out, expected);

    for (uint8_t v : {1, 2, 3}) {
        out.clear();
        EXPECT_EQ(port.Handle(Bytes{12, v}.data(), 2, out).purge, v);
        EXPECT_EQ(out, Sub({112, v}));
    }
    out.clear();
    EXPECT_EQ(port.Handle(Bytes{12, 4}.data(), 2, out).purge, ComPortControl::PurgeNone);
    EXPECT_TRUE(out.empty());

    EXPECT_EQ(port.Handle(Bytes{8}.data(), 1, out).flow, ComPortControl::Flow::Suspend);
    EXPECT_EQ(port.Handle(Bytes{9, 0}.data(), 2, out).flow, ComPortControl::Flow::Resume);
    // Short or unknown commands are ignored.
    EXPECT_FALSE(port.Handle(Bytes{1, 0, 0}.data(), 3, out).settingsChanged);
    port.Handle(Bytes{2}.data(), 1, out);
    port.Handle(Bytes{101, 1}.data(), 2, out);
    EXPECT_TRUE(out.empty());
}
