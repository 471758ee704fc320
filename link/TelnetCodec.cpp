#include "link/TelnetCodec.h"

namespace Telnet {

void AppendData(const uint8_t* data, size_t size, bool binary, std::vector<uint8_t>& out)
{
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        out.push_back(b);
        if (b == IAC)
            out.push_back(IAC);
        else if (b == '\r' && !binary)
            out.push_back(0);
    }
}

void AppendOption(uint8_t verb, uint8_t option, std::vector<uint8_t>& out)
{
    out.push_back(IAC);
    out.push_back(verb);
    out.push_back(option);
}

void AppendSubnegotiation(uint8_t option, const uint8_t* payload, size_t size, std::vector<uint8_t>& out)
{
    out.push_back(IAC);
    out.push_back(SB);
    out.push_back(option);
    AppendData(payload, size, true, out);
    out.push_back(IAC);
    out.push_back(SE);
}

void Reader::Feed(const uint8_t* data, size_t size, Handler& handler)
{
    // Runs of plain data go to the handler in one call each.
    size_t runStart = 0;
    auto flush = [&](size_t end) {
        if (end > runStart)
            handler.OnData(data + runStart, end - runStart);
    };
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        switch (state_) {
        case State::Data:
            if (b == IAC) {
                flush(i);
                state_ = State::Iac;
            } else if (b == 0 && afterCr_ && !peerBinary_) {
                flush(i);
                runStart = i + 1;
                afterCr_ = false;
                continue;
            }
            afterCr_ = b == '\r';
            continue;
        case State::Iac:
            afterCr_ = false;
            if (b == IAC) {
                // A doubled IAC is one data byte: the next run starts at the second.
                runStart = i;
                state_ = State::Data;
                continue;
            }
            if (b == WILL || b == WONT || b == DO || b == DONT) {
                verb_ = b;
                state_ = State::Verb;
            } else if (b == SB) {
                state_ = State::SubOption;
            } else {
                // NOP, GA, BRK, AYT and the other commands carry nothing for a serial line.
                state_ = State::Data;
            }
            break;
        case State::Verb:
            handler.OnOption(verb_, b);
            state_ = State::Data;
            break;
        case State::SubOption:
            subOption_ = b;
            subSize_ = 0;
            state_ = State::Sub;
            break;
        case State::Sub:
            if (b == IAC)
                state_ = State::SubIac;
            else if (subSize_ < MaxSubnegotiation)
                sub_[subSize_++] = b;
            break;
        case State::SubIac:
            if (b == IAC) {
                if (subSize_ < MaxSubnegotiation)
                    sub_[subSize_++] = IAC;
                state_ = State::Sub;
            } else if (b == SE) {
                handler.OnSubnegotiation(subOption_, sub_, subSize_);
                state_ = State::Data;
            } else {
                // IAC and anything but SE or IAC inside a subnegotiation: the peer broke it off;
                // what it had is dropped and the byte read as the command it starts.
                state_ = State::Iac;
                --i;
            }
            break;
        }
        runStart = i + 1;
    }
    if (state_ == State::Data)
        flush(size);
}

void Options::Start(std::vector<uint8_t>& out)
{
    for (Option& o : options_) {
        o.ours = State::WantYes;
        AppendOption(WILL, o.code, out);
        o.theirs = State::WantYes;
        AppendOption(DO, o.code, out);
    }
}

void Options::Receive(uint8_t verb, uint8_t option, std::vector<uint8_t>& out)
{
    Option* o = Find(option);
    const bool aboutUs = verb == DO || verb == DONT;
    const bool wanted = verb == DO || verb == WILL;
    if (!o) {
        // Refused; a refusal of something we do not do needs no answer.
        if (wanted)
            AppendOption(aboutUs ? WONT : DONT, option, out);
        return;
    }
    State& state = aboutUs ? o->ours : o->theirs;
    const State before = state;
    state = wanted ? State::Yes : State::No;
    // Only a change of a settled state is answered: an answer to our own request (WantYes) is
    // the end of that exchange, and a repeat of the state we are in asks nothing.
    if (before == State::WantYes || (before == State::Yes) == wanted)
        return;
    AppendOption(aboutUs ? (wanted ? WILL : WONT) : (wanted ? DO : DONT), option, out);
}

Options::Option* Options::Find(uint8_t option)
{
    for (Option& o : options_)
        if (o.code == option)
            return &o;
    return nullptr;
}

const Options::Option* Options::Find(uint8_t option) const
{
    for (const Option& o : options_)
        if (o.code == option)
            return &o;
    return nullptr;
}

}  // namespace Telnet
