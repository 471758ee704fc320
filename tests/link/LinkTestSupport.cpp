#include "LinkTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "link/DtuPacket.h"
#include "net/UdpEndpoint.h"

void RecordingView::AppendRow(int record, const std::string& name)
{
    rows_.push_back(record);
    cells_[{record, ColName}] = name;
}

void RecordingView::DeleteRow(int row)
{
    if (row < 0 || row >= static_cast<int>(rows_.size()))
        throw std::logic_error("DeleteRow of a row that does not exist");
    const int record = rows_[row];
    rows_.erase(rows_.begin() + row);
    for (int column = ColName; column <= ColSent; ++column)
        cells_.erase({record, column});
}

void RecordingView::SetCell(int row, int column, const std::string& text)
{
    cells_[{rows_.at(row), column}] = text;
}

void RecordingView::SetRefresh(std::function<void()> refresh)
{
    refresh_ = std::move(refresh);
}

std::string RecordingView::Cell(int record, int column) const
{
    if (refresh_)
        refresh_();
    auto it = cells_.find({record, column});
    return it == cells_.end() ? std::string() : it->second;
}

bool RecordingView::WaitCell(int record, int column, const std::string& text, std::chrono::milliseconds limit) const
{
    return WaitUntil([&] { return Cell(record, column) == text; }, limit);
}

std::vector<int> RecordingView::Rows() const
{
    return rows_;
}

int ThreadCount()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

Bytes Header(const std::string& code, uint8_t type)
{
    Bytes header(DtuPacket::HeaderSize, 0);
    std::memcpy(header.data(), code.data(), std::min<size_t>(code.size(), 12));
    header[DtuPacket::TypeOffset] = type;
    return header;
}

UdpDtu::UdpDtu(uint16_t serverPort, const char* ip, uint16_t port) : serverPort_(serverPort)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    SocketAddress local = Ipv4(ip, port);
    if (bind(fd_, local.Raw(), SocketAddress::Length) != 0)
        throw std::runtime_error(std::string("bind UDP DTU: ") + std::strerror(errno));
}

UdpDtu::~UdpDtu()
{
    close(fd_);
}

uint16_t UdpDtu::Port() const
{
    SocketAddress local;
    socklen_t length = SocketAddress::Length;
    getsockname(fd_, local.Raw(), &length);
    return local.Port();
}

void UdpDtu::Send(const Bytes& datagram)
{
    SocketAddress server = Ipv4("127.0.0.1", serverPort_);
    sendto(fd_, datagram.data(), datagram.size(), 0, server.Raw(), SocketAddress::Length);
}

void UdpDtu::SendLogin(const std::string& code)
{
    Send(Header(code, 0));
}

void UdpDtu::SendData(const std::string& code, const Bytes& payload)
{
    Bytes datagram = Header(code, 3);
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    Send(datagram);
}

std::optional<Bytes> UdpDtu::Receive(std::chrono::milliseconds limit)
{
    if (!WaitReadable(fd_, limit))
        return std::nullopt;
    Bytes buffer(4096);
    ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0)
        return std::nullopt;
    buffer.resize(n);
    return buffer;
}

TcpDtu::TcpDtu(uint16_t port, int receiveBuffer, const char* ip)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0)
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    SocketAddress local = Ipv4(ip, port);
    if (bind(listener_, local.Raw(), SocketAddress::Length) != 0 || listen(listener_, 4) != 0)
        throw std::runtime_error(std::string("TCP DTU: ") + std::strerror(errno));
}

TcpDtu::~TcpDtu()
{
    CloseConnection();
    close(listener_);
}

int TcpDtu::Accept(std::chrono::milliseconds limit)
{
    if (!WaitReadable(listener_, limit))
        return -1;
    CloseConnection();
    connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_;
}

void TcpDtu::CloseConnection()
{
    if (connection_ >= 0)
        close(connection_);
    connection_ = -1;
}

bool TcpDtu::Write(const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(connection_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

Bytes TcpDtu::Read(size_t count, std::chrono::milliseconds limit)
{
    Bytes bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    uint8_t buffer[65536];
    while (bytes.size() < count && WaitReadable(connection_, deadline)) {
        ssize_t n = recv(connection_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

bool TcpDtu::ShrinkPeerSendBuffer()
{
    SocketAddress peer, local;
    socklen_t length = SocketAddress::Length;
    getpeername(connection_, peer.Raw(), &length);
    length = SocketAddress::Length;
    getsockname(connection_, local.Raw(), &length);
    DIR* dir = opendir("/proc/self/fd");
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd == connection_)
            continue;
        SocketAddress mine, theirs;
        socklen_t a = SocketAddress::Length, b = SocketAddress::Length;
        if (getsockname(fd, mine.Raw(), &a) == 0 && getpeername(fd, theirs.Raw(), &b) == 0 && mine.Equals(peer)
            && theirs.Equals(local)) {
            int size = 4096;
            found = setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
        }
    }
    closedir(dir);
    return found;
}

LinkRig::LinkRig(bool sharedMode, int vportNo, Timing timing) : timing(timing)
{
    settings.OnlyOnePort = sharedMode ? 1 : 0;
    settings.VPortNo = vportNo;
    settings.SocketPort = FreeLoopbackPort(SOCK_DGRAM);
    serverPort = FreeLoopbackPort(SOCK_DGRAM);
    const std::string local = "127.0.0.1:" + std::to_string(serverPort);
    const bool manual = timing == Timing::Manual;
    table = manual ? std::make_unique<PortTable>(clock, settings, sites, local.c_str(), PortTable::Turning::ByOwner)
                   : std::make_unique<PortTable>(Clock::Steady(), settings, sites, local.c_str());
    rows.Attach(&view);
    view.SetRefresh([this, manual] {
        if (manual)
            table->Turn();
        for (int record : view.Rows())
            rows.Update(table->Status(record));
    });
    if (table->StartNetwork() != PortTable::NetworkResult::Started)
        throw std::runtime_error("StartNetwork");
    table->PrepareSlots();
    // Give the receive thread its socket before the first datagram.
    WaitUntil([&] {
        if (manual)
            table->Turn();
        return table->UdpPortOpen();
    });
}

void LinkRig::UseSocketPort(uint16_t port)
{
    settings.SocketPort = port;
    table->UseSettings(settings);
}

void LinkRig::Advance(std::chrono::nanoseconds step)
{
    clock.Advance(std::chrono::duration_cast<Clock::duration>(step));
    // What a due pass sets off (a wake-up, another handle's turn) is ready at once: a few
    // turns without waiting see it through.
    for (int k = 0; k < 4; ++k)
        table->Turn();
}

void LinkRig::Settle(std::chrono::milliseconds span)
{
    TurnUntil([] { return false; }, span);
}

bool LinkRig::TurnUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    return table->TurnUntil(done, limit);
}

std::optional<Bytes> LinkRig::Receive(UdpDtu& dtu, std::chrono::milliseconds limit)
{
    std::optional<Bytes> datagram;
    TurnUntil([&] { return (datagram = dtu.Receive(0ms)).has_value(); }, limit);
    return datagram;
}

bool LinkRig::RunUntil(const std::function<bool()>& done, std::chrono::nanoseconds step,
                       std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        Advance(step);
        table->Turn(1ms);
    }
    return true;
}

bool LinkRig::Write(SerialApp& app, const Bytes& bytes)
{
    std::atomic<int> written{-1};
    std::thread writer([&] { written = app.Write(bytes) ? 1 : 0; });
    TurnUntil([&] { return written >= 0; }, 30s);
    writer.join();
    return written == 1;
}

LinkRig::~LinkRig()
{
    table.reset();
}

PortConfig LinkRig::Fields(int number, const std::string& code, int useTcp, const char* fixedIp) const
{
    PortConfig fields;
    fields.PortNumber = number;
    fields.Code = code;
    fields.UseTcp = useTcp;
    fields.UseFixedIP = fixedIp ? 1 : 0;
    fields.PeerIP = fixedIp ? fixedIp : "0.0.0.0";
    return fields;
}

int LinkRig::AddPort(int number, const std::string& code, int useTcp, const char* fixedIp)
{
    return AddPort(Fields(number, code, useTcp, fixedIp));
}

int LinkRig::AddPort(const PortConfig& config)
{
    const int i = table->FindFreeSlot();
    table->OpenSlot(i, config);
    rows.Append(table->Status(i));
    return i;
}

void LinkRig::Edit(int slot, const PortConfig& config)
{
    table->EditSlot(slot, config);
    rows.Update(table->Status(slot));
}

void LinkRig::Remove(int slot)
{
    table->CloseSlot(slot);
    rows.Remove(slot);
}

bool WaitUntilSentStalls(LinkRig& rig, int record)
{
    // Every pass a gap apart hands a chunk over unless the link refuses it; three gaps without
    // one rule out what is merely on its way through the loop.
    const auto gap = std::chrono::milliseconds(rig.Status(record).config.FrameGap);
    uint64_t sent = rig.Status(record).statistics.txBytes;
    for (int still = 0, step = 0; step < 10000; ++step) {
        rig.Advance(gap);
        rig.table->Turn(1ms);
        const uint64_t now = rig.Status(record).statistics.txBytes;
        still = now == sent ? still + 1 : 0;
        sent = now;
        if (still == 3)
            return sent > 0;
    }
    return false;
}

bool ReadUpTo(SerialApp& app, Bytes& into, size_t count)
{
    const Bytes got = app.Read(count - into.size(), 0ms);
    into.insert(into.end(), got.begin(), got.end());
    return into.size() >= count;
}

bool ReadUpTo(TcpDtu& dtu, Bytes& into, size_t count)
{
    const Bytes got = dtu.Read(count - into.size(), 0ms);
    into.insert(into.end(), got.begin(), got.end());
    return into.size() >= count;
}
