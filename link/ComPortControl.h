#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vport/LineState.h"

// The access server's side of RFC 2217 (COM-PORT-OPTION) for one port: the line settings and
// modem lines a client sets, kept and answered with the value taken. A virtual port has no
// line of its own: every valid setting is taken, nothing of it reaches the DTU, and the modem
// lines read CTS, DSR and CD asserted, as for an application on the pseudo-terminal. Pure: the
// client's subnegotiation in, the answer and what the port must do out.
class ComPortControl {
public:
    // Client commands; the server's answers are these plus ServerOffset.
    enum Command : uint8_t {
        SetBaudRate = 1,
        SetDataSize = 2,
        SetParity = 3,
        SetStopSize = 4,
        SetControl = 5,
        NotifyLineState = 6,
        NotifyModemState = 7,
        FlowControlSuspend = 8,
        FlowControlResume = 9,
        SetLineStateMask = 10,
        SetModemStateMask = 11,
        PurgeData = 12,
    };
    static constexpr uint8_t ServerOffset = 100;

    // Modem lines: CTS, DSR and CD (RFC 2217's bits), never changing.
    static constexpr uint8_t ModemLines = 0x10 | 0x20 | 0x80;
    // The line: both transmit registers empty, no error.
    static constexpr uint8_t LineStateValue = 0x20 | 0x40;

    // PURGE-DATA's values: what waits for the client, what waits for the DTU, both.
    enum Purge : uint8_t { PurgeNone = 0, PurgeReceive = 1, PurgeTransmit = 2, PurgeBoth = 3 };
    enum class Flow { Unchanged, Suspend, Resume };

    // What one command asks of the port besides its answer.
    struct Effect {
        bool settingsChanged = false;
        uint8_t purge = PurgeNone;
        Flow flow = Flow::Unchanged;
    };

    // The payload of one IAC SB COM-PORT-OPTION ... IAC SE from the client; the answer, if
    // any, is appended as a whole subnegotiation.
    Effect Handle(const uint8_t* payload, size_t size, std::vector<uint8_t>& out);
    // The modem lines, as the client's mask lets them through (sent once COM-PORT-OPTION is on).
    void AppendModemState(std::vector<uint8_t>& out) const;

    // The settings as the port shows them (1.5 stop bits as 2: what a UART gives for CSTOPB
    // with 5 data bits).
    LineState Settings() const;

    uint32_t BaudRate() const { return baud_; }
    uint8_t DataSize() const { return dataSize_; }
    uint8_t Parity() const { return parity_; }      // 1 none, 2 odd, 3 even, 4 mark, 5 space
    uint8_t StopSize() const { return stopSize_; }  // 1 one, 2 two, 3 one and a half

private:
    void Answer(uint8_t command, const uint8_t* value, size_t size, std::vector<uint8_t>& out) const;
    // SET-CONTROL's value: the state asked for, or the one taken.
    uint8_t Control(uint8_t value, bool& changed);

    uint32_t baud_ = 9600;
    uint8_t dataSize_ = 8;
    uint8_t parity_ = 1;
    uint8_t stopSize_ = 1;
    uint8_t flow_ = 1;          // 1 none, 2 XON/XOFF, 3 hardware
    uint8_t inboundFlow_ = 14;  // 14 none, 15 XON/XOFF, 16 hardware
    bool breakOn_ = false;
    bool dtr_ = false;
    bool rts_ = false;
    uint8_t lineStateMask_ = 0;
    uint8_t modemStateMask_ = 0xff;
};
