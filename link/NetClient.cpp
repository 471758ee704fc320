#include "link/NetClient.h"

#include <algorithm>

#include "vport/VirtualSerialPort.h"

NetClient::NetClient(EventLoop& loop, int fd, const SocketAddress& peer, Mode mode, VirtualSerialPort& port,
                     std::function<void(int)> ended, std::function<void()> settingsChanged)
    : loop_(loop), mode_(mode), port_(port), ended_(std::move(ended)), settingsChanged_(std::move(settingsChanged)),
      stream_(loop, *this, fd, peer)
{
    if (mode_ == Mode::Rfc2217) {
        options_.Start(encoded_);
        SendReplies();
    }
}

NetClient::~NetClient() = default;

int NetClient::Write(const uint8_t* data, int count)
{
    if (count <= 0)
        return 0;
    const size_t waiting = Waiting();
    const size_t taken = std::min(static_cast<size_t>(count), OutputLimit - std::min(waiting, OutputLimit));
    if (taken < static_cast<size_t>(count))
        refused_ = true;
    output_.Append(data, taken);
    SendWaiting();
    return static_cast<int>(taken);
}

void NetClient::SendWaiting()
{
    // What the socket has not taken yet stays encoded in its queue; the rest waits here as the
    // DTU sent it, so a purge can drop it and a suspension hold it.
    if (suspended_ || stream_.Queued() > 0 || output_.Empty())
        return;
    if (mode_ == Mode::Raw) {
        stream_.Send(output_.Front(), output_.Size());
    } else {
        encoded_.clear();
        Telnet::AppendData(output_.Front(), output_.Size(), options_.Ours(Telnet::OptionBinary), encoded_);
        stream_.Send(encoded_.data(), encoded_.size());
        encoded_.clear();
    }
    output_.Clear();
}

void NetClient::TellRoom()
{
    if (refused_ && Waiting() <= OutputLimit / 2) {
        refused_ = false;
        port_.RemoteRoom();
    }
}

int NetClient::Read(uint8_t* buffer, int max)
{
    const size_t n = input_.Take(buffer, static_cast<size_t>(std::max(max, 0)));
    if (input_.Size() < InputLimit)
        stream_.PauseReading(false);
    if (input_.Empty())
        input_.Clear();
    return static_cast<int>(n);
}

std::optional<LineState> NetClient::LineSettings() const
{
    if (mode_ == Mode::Raw)
        return std::nullopt;
    return control_.Settings();
}

void NetClient::OnReceived(const uint8_t* data, size_t size)
{
    inputCame_ = false;
    if (mode_ == Mode::Raw)
        OnData(data, size);
    else
        reader_.Feed(data, size, *this);
    SendReplies();
    if (input_.Size() >= InputLimit)
        stream_.PauseReading(true);
    if (inputCame_)
        port_.RemoteInput();
}

void NetClient::OnData(const uint8_t* data, size_t size)
{
    if (input_.Empty())
        inputCame_ = true;
    input_.Append(data, size);
    lastInput_ = loop_.Now();
}

void NetClient::OnOption(uint8_t verb, uint8_t option)
{
    options_.Receive(verb, option, encoded_);
    reader_.PeerBinary(options_.Theirs(Telnet::OptionBinary));
    if (options_.Theirs(Telnet::OptionComPort) || options_.Ours(Telnet::OptionComPort))
        ComPortInUse();
}

void NetClient::ComPortInUse()
{
    // The modem lines once the client knows the option, so that it can read them at once.
    if (comPortOn_)
        return;
    comPortOn_ = true;
    control_.AppendModemState(encoded_);
}

void NetClient::OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t size)
{
    if (option != Telnet::OptionComPort)
        return;
    // A client that took our offer as the answer to its own request (pyserial does, when ours
    // comes first) never acknowledges it: its first command says it speaks the option.
    ComPortInUse();
    const ComPortControl::Effect effect = control_.Handle(payload, size, encoded_);
    if (effect.purge & ComPortControl::PurgeReceive)
        output_.Clear();
    if (effect.purge & ComPortControl::PurgeTransmit) {
        // What came before the purge in this read is dropped with what waited before it.
        input_.Clear();
        inputCame_ = false;
    }
    if (effect.flow == ComPortControl::Flow::Suspend)
        suspended_ = true;
    if (effect.flow == ComPortControl::Flow::Resume) {
        suspended_ = false;
        SendReplies();
        SendWaiting();
        TellRoom();
    }
    if (effect.settingsChanged && settingsChanged_)
        settingsChanged_();
}

void NetClient::SendReplies()
{
    // Replies go before any data still waiting here, behind what the socket already queued.
    if (encoded_.empty())
        return;
    stream_.Send(encoded_.data(), encoded_.size());
    encoded_.clear();
}

void NetClient::OnSent()
{
    SendWaiting();
    TellRoom();
}

void NetClient::OnEnded(int error)
{
    ended_(error);  // may destroy this
}
