#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The Telnet layer a network client of a port speaks in RFC 2217 mode (RFC 854, 855, 856,
// 858): data with IAC doubled, option negotiation, and subnegotiations. Plain functions and
// small state machines without I/O: the client's connection feeds bytes in and sends what they
// append.
namespace Telnet {

constexpr uint8_t SE = 240;
constexpr uint8_t NOP = 241;
constexpr uint8_t SB = 250;
constexpr uint8_t WILL = 251;
constexpr uint8_t WONT = 252;
constexpr uint8_t DO = 253;
constexpr uint8_t DONT = 254;
constexpr uint8_t IAC = 255;

constexpr uint8_t OptionBinary = 0;
constexpr uint8_t OptionEcho = 1;
constexpr uint8_t OptionSuppressGoAhead = 3;
constexpr uint8_t OptionComPort = 44;

// Data towards the peer: every IAC doubled and, while our side is not in BINARY mode, a CR
// followed by NUL (a bare CR of the network virtual terminal).
void AppendData(const uint8_t* data, size_t size, bool binary, std::vector<uint8_t>& out);
// IAC verb option.
void AppendOption(uint8_t verb, uint8_t option, std::vector<uint8_t>& out);
// IAC SB option payload IAC SE, IACs of the payload doubled.
void AppendSubnegotiation(uint8_t option, const uint8_t* payload, size_t size, std::vector<uint8_t>& out);

// Splits what the peer sends into data, option verbs and subnegotiations, in the order they
// came, whatever the buffers the bytes arrive in.
class Reader {
public:
    // A subnegotiation longer than this is cut to it (none of ours is longer than 6 bytes).
    static constexpr size_t MaxSubnegotiation = 64;

    class Handler {
    public:
        virtual void OnData(const uint8_t* data, size_t size) = 0;
        // verb: WILL, WONT, DO or DONT.
        virtual void OnOption(uint8_t verb, uint8_t option) = 0;
        // payload: what came between IAC SB option and IAC SE, IACs undoubled.
        virtual void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t size) = 0;

    protected:
        ~Handler() = default;
    };

    // While the peer's side is not in BINARY mode, a NUL after a CR is no data (RFC 854).
    void PeerBinary(bool on) { peerBinary_ = on; }
    void Feed(const uint8_t* data, size_t size, Handler& handler);

private:
    enum class State { Data, Iac, Verb, SubOption, Sub, SubIac };

    State state_ = State::Data;
    uint8_t verb_ = 0;
    bool peerBinary_ = false;
    bool afterCr_ = false;
    uint8_t subOption_ = 0;
    size_t subSize_ = 0;
    uint8_t sub_[MaxSubnegotiation] = {};
};

// Which options are on for each side, and the replies negotiation calls for (RFC 1143's rules:
// an option is acknowledged only when its state changes, so two sides never loop). We offer and
// ask for BINARY, SUPPRESS-GO-AHEAD and COM-PORT-OPTION; every other option is refused.
class Options {
public:
    // What we offer and ask for when the connection starts.
    void Start(std::vector<uint8_t>& out);
    // The peer's verb for option; the reply, if any, is appended.
    void Receive(uint8_t verb, uint8_t option, std::vector<uint8_t>& out);
    // We do option (the peer sent DO and we agreed).
    bool Ours(uint8_t option) const { return Find(option) && Find(option)->ours == State::Yes; }
    // The peer does option.
    bool Theirs(uint8_t option) const { return Find(option) && Find(option)->theirs == State::Yes; }

private:
    enum class State : uint8_t { No, WantYes, Yes };
    struct Option {
        uint8_t code;
        State ours;
        State theirs;
    };
    Option* Find(uint8_t option);
    const Option* Find(uint8_t option) const;

    Option options_[3] = {{OptionBinary, State::No, State::No},
                          {OptionSuppressGoAhead, State::No, State::No},
                          {OptionComPort, State::No, State::No}};
};

}  // namespace Telnet
