// A port's network server on loopback: a raw client through a UDP DTU both ways, framed and
// counted as an application's bytes; one user at a time (a second client, a client while an
// application holds the port, an application while a client does); a listener that cannot bind;
// RFC 2217's settings reaching the port's line settings.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "LinkTestSupport.h"
#include "link/DtuPacket.h"
#include "link/TelnetCodec.h"

namespace {

// A network client: a plain TCP socket on loopback.
class Client {
public:
    explicit Client(uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const SocketAddress to = Loopback(port);
        if (connect(fd_, to.Raw(), SocketAddress::Length) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Client() { Close(); }
    void Close()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    bool Connected() const { return fd_ >= 0; }
    bool Send(const Bytes& bytes)
    {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // What comes until count bytes came, the peer closed or the limit passed.
    Bytes Read(size_t count, std::chrono::milliseconds limit = 10s)
    {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (got.size() < count && !closed_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end
                                                                                    - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t buffer[4096];
            const ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
            if (n <= 0)
                closed_ = true;
            else
                got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
    // The peer closed the connection within the limit (what came before is read and dropped).
    bool ClosedByPeer(std::chrono::milliseconds limit = 10s)
    {
        Read(1 << 20, limit);
        return closed_;
    }

private:
    int fd_ = -1;
    bool closed_ = false;
};

PortConfig NetFields(LinkRig& rig, int number, const std::string& code, uint16_t netPort, const char* mode)
{
    PortConfig fields = rig.Fields(number, code);
    fields.NetPort = netPort;
    fields.NetMode = mode;
    return fields;
}

}  // namespace

TEST(NetServer, ARawClientIsTheApplicationOfAUdpPortBothWays)
{
    LinkRig rig;
    const uint16_t netPort = FreeLoopbackPort(SOCK_STREAM);
    const int i = rig.AddPort(NetFields(rig, 7, "N1", netPort, "raw"));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("N1");
    ASSERT_TRUE(dtu.Receive());  // the login reply

    Client client(netPort);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(WaitUntil([&] {
        rig.table->PublishNow();
        return !rig.Status(i).netClient.empty();
    }));
    EXPECT_EQ(rig.Status(i).netClient.rfind("127.0.0.1:", 0), 0u);
    EXPECT_TRUE(rig.Status(i).inUse);

    // Every byte value, 0xff included, both ways, unchanged.
    Bytes all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<uint8_t>(b));
    dtu.SendData("N1", all);
    EXPECT_EQ(client.Read(all.size()), all);
    ASSERT_TRUE(client.Send(all));
    const auto datagram = dtu.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(Bytes(datagram->begin() + DtuPacket::HeaderSize, datagram->end()), all);  // one chunk, after the gap

    rig.table->PublishNow();
    const PortStatus status = rig.Status(i);
    EXPECT_EQ(status.statistics.txBytes, 256u);
    EXPECT_EQ(status.statistics.rxBytes, 256u);
    EXPECT_EQ(status.statistics.netClients, 1u);
}

TEST(NetServer, OneUserAtATime)
{
    LinkRig rig;
    const uint16_t netPort = FreeLoopbackPort(SOCK_STREAM);
    const int i = rig.AddPort(NetFields(rig, 8, "N2", netPort, "raw"));

    // An application holds the port: a client is told why, in one line, and closed.
    {
        SerialApp app(rig.Path(i));
        ASSERT_TRUE(app.IsOpen());
        std::this_thread::sleep_for(100ms);  // the loop sees the open
        Client refused(netPort);
        const Bytes line = refused.Read(200);
        EXPECT_EQ(std::string(line.begin(), line.end()), "COM8 is in use by an application on this machine\r\n");
        EXPECT_TRUE(refused.ClosedByPeer());
    }
    std::this_thread::sleep_for(100ms);

    Client first(netPort);
    ASSERT_TRUE(WaitUntil([&] {
        rig.table->PublishNow();
        return !rig.Status(i).netClient.empty();
    }));
    const std::string firstAddress = rig.Status(i).netClient;
    Client second(netPort);
    const Bytes line = second.Read(200);
    EXPECT_EQ(std::string(line.begin(), line.end()), "COM8 is in use by network client " + firstAddress + "\r\n");
    EXPECT_TRUE(second.ClosedByPeer());

    // An application cannot open the port while the client has it.
    const int fd = open(rig.Path(i).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int error = errno;
    if (geteuid() != 0) {
        EXPECT_LT(fd, 0);
        EXPECT_EQ(error, EACCES);
    }
    if (fd >= 0)
        close(fd);

    // Once the client went, the port is the applications' again.
    first.Close();
    ASSERT_TRUE(WaitUntil([&] {
        rig.table->PublishNow();
        return rig.Status(i).netClient.empty();
    }));
    SerialApp app(rig.Path(i));
    EXPECT_TRUE(app.IsOpen());
    rig.table->PublishNow();
    EXPECT_EQ(rig.Status(i).statistics.netClients, 1u);
}

TEST(NetServer, AListenerThatCannotBindLeavesThePortServedAndSaysWhy)
{
    LinkRig rig;
    // Another program listens on the port already.
    const int other = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const SocketAddress taken = Loopback(0);
    ASSERT_EQ(bind(other, taken.Raw(), SocketAddress::Length), 0);
    ASSERT_EQ(listen(other, 1), 0);
    SocketAddress bound;
    socklen_t length = SocketAddress::Length;
    getsockname(other, bound.Raw(), &length);

    const int i = rig.AddPort(NetFields(rig, 9, "N3", bound.Port(), "rfc2217"));
    const PortStatus status = rig.Status(i);
    EXPECT_TRUE(status.served);
    EXPECT_FALSE(status.device.empty());
    EXPECT_EQ(status.netFailure.kind, Reason::Kind::NetPortNotListening);
    EXPECT_EQ(status.netFailure.error, EADDRINUSE);
    EXPECT_NE(status.netFailure.English().find("127.0.0.1:" + std::to_string(bound.Port())), std::string::npos);

    // Free again, an edit listens.
    close(other);
    PortConfig fields = rig.table->SlotConfig(i);
    rig.Edit(i, fields);
    EXPECT_FALSE(rig.Status(i).netFailure);
    Client client(bound.Port());
    EXPECT_TRUE(WaitUntil([&] {
        rig.table->PublishNow();
        return !rig.Status(i).netClient.empty();
    }));
}

TEST(NetServer, Rfc2217SettingsBecomeThePortsLineSettingsAndNeverReachTheDtu)
{
    using namespace Telnet;
    LinkRig rig;
    const uint16_t netPort = FreeLoopbackPort(SOCK_STREAM);
    const int i = rig.AddPort(NetFields(rig, 10, "N4", netPort, "rfc2217"));
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("N4");
    ASSERT_TRUE(dtu.Receive());

    Client client(netPort);
    // The server offers and asks for BINARY, SGA and COM-PORT-OPTION.
    EXPECT_EQ(client.Read(18), (Bytes{IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 44, IAC, DO, 44}));
    Bytes agree = {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3, IAC, WILL, 44, IAC, DO, 44};
    // 19200 8E1, sent in one go with data behind it.
    for (const Bytes& sub : {Bytes{1, 0, 0, 0x4b, 0}, Bytes{2, 8}, Bytes{3, 3}, Bytes{4, 1}})
        AppendSubnegotiation(OptionComPort, sub.data(), sub.size(), agree);
    agree.insert(agree.end(), {'a', IAC, IAC, 'b'});
    ASSERT_TRUE(client.Send(agree));
    Bytes expected;
    const uint8_t modem[] = {107, 0xb0};
    AppendSubnegotiation(OptionComPort, modem, 2, expected);
    for (const Bytes& sub : {Bytes{101, 0, 0, 0x4b, 0}, Bytes{102, 8}, Bytes{103, 3}, Bytes{104, 1}})
        AppendSubnegotiation(OptionComPort, sub.data(), sub.size(), expected);
    EXPECT_EQ(client.Read(expected.size()), expected);

    // Only the data reaches the DTU, undoubled.
    const auto datagram = dtu.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(Bytes(datagram->begin() + DtuPacket::HeaderSize, datagram->end()), (Bytes{'a', 0xff, 'b'}));
    // What the client set is published with the port's status, for lists and the window.
    rig.table->PublishNow();
    const auto line = rig.Status(i).netLine;
    ASSERT_TRUE(line);
    EXPECT_EQ(line->Text(), "19200 8E1, DTR off, RTS off");

    // The DTU's 0xff reaches the client doubled.
    dtu.SendData("N4", Bytes{0xff, 1});
    EXPECT_EQ(client.Read(3), (Bytes{0xff, 0xff, 1}));
}
