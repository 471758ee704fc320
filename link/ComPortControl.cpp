#include "link/ComPortControl.h"

#include "link/TelnetCodec.h"

ComPortControl::Effect ComPortControl::Handle(const uint8_t* payload, size_t size, std::vector<uint8_t>& out)
{
    Effect effect;
    if (size < 2 && !(size == 1 && (payload[0] == FlowControlSuspend || payload[0] == FlowControlResume)))
        return effect;  // every other command carries a value
    const uint8_t command = payload[0];
    const uint8_t* value = payload + 1;
    const size_t valueSize = size - 1;
    // A value of 0 asks for the current setting; one out of range is not taken, and the answer
    // says what still holds.
    auto take = [&effect](uint8_t& field, uint8_t v, uint8_t low, uint8_t high) {
        if (v >= low && v <= high && v != field) {
            field = v;
            effect.settingsChanged = true;
        }
    };
    switch (command) {
    case SetBaudRate: {
        if (valueSize < 4)
            return effect;
        const uint32_t baud = uint32_t(value[0]) << 24 | uint32_t(value[1]) << 16 | uint32_t(value[2]) << 8 | value[3];
        if (baud != 0 && baud != baud_) {
            baud_ = baud;
            effect.settingsChanged = true;
        }
        const uint8_t answer[4] = {uint8_t(baud_ >> 24), uint8_t(baud_ >> 16), uint8_t(baud_ >> 8), uint8_t(baud_)};
        Answer(command, answer, sizeof answer, out);
        break;
    }
    case SetDataSize:
        take(dataSize_, value[0], 5, 8);
        Answer(command, &dataSize_, 1, out);
        break;
    case SetParity:
        take(parity_, value[0], 1, 5);
        Answer(command, &parity_, 1, out);
        break;
    case SetStopSize:
        take(stopSize_, value[0], 1, 3);
        Answer(command, &stopSize_, 1, out);
        break;
    case SetControl: {
        const uint8_t state = Control(value[0], effect.settingsChanged);
        if (state != 0)
            Answer(command, &state, 1, out);
        break;
    }
    case NotifyLineState: {
        // Asked outright: the true state, whatever the mask lets through on its own.
        const uint8_t state = LineStateValue;
        Answer(command, &state, 1, out);
        break;
    }
    case NotifyModemState: {
        const uint8_t state = ModemLines;
        Answer(command, &state, 1, out);
        break;
    }
    case FlowControlSuspend: effect.flow = Flow::Suspend; break;
    case FlowControlResume: effect.flow = Flow::Resume; break;
    case SetLineStateMask:
        lineStateMask_ = value[0];
        Answer(command, &lineStateMask_, 1, out);
        break;
    case SetModemStateMask:
        modemStateMask_ = value[0];
        Answer(command, &modemStateMask_, 1, out);
        break;
    case PurgeData:
        if (value[0] >= PurgeReceive && value[0] <= PurgeBoth) {
            effect.purge = value[0];
            Answer(command, value, 1, out);
        }
        break;
    default: break;  // not a client's command: nothing to answer
    }
    return effect;
}

uint8_t ComPortControl::Control(uint8_t value, bool& changed)
{
    auto set = [&changed](auto& field, auto v) {
        if (field != v) {
            field = v;
            changed = true;
        }
    };
    switch (value) {
    case 0: return flow_;
    case 1:
    case 2:
    case 3:
    case 17:  // DCD, DTR and DSR flow control: outbound flow control of other lines
    case 18:
    case 19: set(flow_, value); return flow_;
    case 4: return breakOn_ ? 5 : 6;
    case 5:
    case 6: set(breakOn_, value == 5); return value;
    case 7: return dtr_ ? 8 : 9;
    case 8:
    case 9: set(dtr_, value == 8); return value;
    case 10: return rts_ ? 11 : 12;
    case 11:
    case 12: set(rts_, value == 11); return value;
    case 13: return inboundFlow_;
    case 14:
    case 15:
    case 16: set(inboundFlow_, value); return value;
    default: return 0;
    }
}

void ComPortControl::AppendModemState(std::vector<uint8_t>& out) const
{
    const uint8_t state = ModemLines & modemStateMask_;
    Answer(NotifyModemState, &state, 1, out);
}

void ComPortControl::Answer(uint8_t command, const uint8_t* value, size_t size, std::vector<uint8_t>& out) const
{
    uint8_t payload[5] = {uint8_t(command + ServerOffset)};
    for (size_t i = 0; i < size && i < 4; ++i)
        payload[1 + i] = value[i];
    Telnet::AppendSubnegotiation(Telnet::OptionComPort, payload, 1 + (size < 4 ? size : 4), out);
}

LineState ComPortControl::Settings() const
{
    LineState state;
    state.baud = baud_;
    state.dataBits = dataSize_;
    state.parity = "?NOEMS"[parity_ <= 5 ? parity_ : 0];
    state.stopBits = stopSize_ == 1 ? 1 : 2;
    state.flow = flow_ == 2 ? "xonxoff" : flow_ == 3 ? "rtscts" : "none";
    state.dtr = dtr_;
    state.rts = rts_;
    return state;
}
