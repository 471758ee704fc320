#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "link/ComPortControl.h"
#include "link/TelnetCodec.h"
#include "net/EventLoop.h"
#include "net/TcpStream.h"
#include "vport/ByteQueue.h"
#include "vport/RemoteUser.h"

class VirtualSerialPort;

// One network client of a port, in the place of an application on its pseudo-terminal: what
// it sends is what the port's pump reads (framed, counted and traced as an application's
// writes), and the DTU's bytes go to it. Raw mode carries the bytes as they are; RFC 2217 mode
// speaks Telnet with COM-PORT-OPTION (TelnetCodec, ComPortControl).
//
// Towards the client the DTU's bytes go to the socket at once as far as it takes them; behind
// that they wait unencoded, up to OutputLimit, as for an application that does not read, so a
// TCP DTU is held back and a UDP DTU's bytes are dropped and counted by the port. Towards the
// DTU, beyond InputLimit waiting the socket is not read. Loop thread only.
class NetClient : public RemoteUser, private TcpStream::Owner, private Telnet::Reader::Handler {
public:
    static constexpr size_t OutputLimit = 1 << 20;
    static constexpr size_t InputLimit = 1 << 20;
    enum class Mode { Rfc2217, Raw };

    // fd: the accepted connection, the client's from now on. ended runs once when the
    // connection ends (the peer closed: 0; or an errno); the owner may destroy the client in it.
    NetClient(EventLoop& loop, int fd, const SocketAddress& peer, Mode mode, VirtualSerialPort& port,
              std::function<void(int error)> ended, std::function<void()> settingsChanged);
    ~NetClient();
    NetClient(const NetClient&) = delete;
    NetClient& operator=(const NetClient&) = delete;

    const SocketAddress& Peer() const { return stream_.Peer(); }

    int Write(const uint8_t* data, int count) override;
    int Read(uint8_t* buffer, int max) override;
    int Pending() const override { return static_cast<int>(input_.Size()); }
    Clock::time_point LastInputTime() const override { return lastInput_; }
    std::optional<LineState> LineSettings() const override;

private:
    void OnReceived(const uint8_t* data, size_t size) override;
    void OnSent() override;
    void OnEnded(int error) override;
    void OnData(const uint8_t* data, size_t size) override;
    void OnOption(uint8_t verb, uint8_t option) override;
    void OnSubnegotiation(uint8_t option, const uint8_t* payload, size_t size) override;

    // Sends what waits for the client once the socket took everything before it.
    void SendWaiting();
    // A Write came short and there is room again (half the limit): the port hears of it, and
    // with it a TCP DTU held back. Never from inside Write.
    void TellRoom();
    size_t Waiting() const { return stream_.Queued() + output_.Size(); }
    // COM-PORT-OPTION is agreed: the modem lines go to the client, once.
    void ComPortInUse();
    // Sends what replies the Telnet layer made.
    void SendReplies();

    EventLoop& loop_;
    const Mode mode_;
    VirtualSerialPort& port_;
    std::function<void(int)> ended_;
    std::function<void()> settingsChanged_;
    TcpStream stream_;
    Telnet::Reader reader_;
    Telnet::Options options_;
    ComPortControl control_;
    bool comPortOn_ = false;  // COM-PORT-OPTION agreed: the modem lines were sent
    bool suspended_ = false;  // the client asked for no data (FLOWCONTROL-SUSPEND)
    bool refused_ = false;    // a Write came short and the port was not yet told of room
    bool inputCame_ = false;  // input while none was waiting, in the bytes being taken
    ByteQueue input_;         // from the client, for the port's pump
    Clock::time_point lastInput_;
    ByteQueue output_;              // from the DTU, not yet handed to the socket
    std::vector<uint8_t> encoded_;  // what goes to the socket next
};
