#include "LinkTestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "link/DtuPacket.h"
#include "net/UdpServerSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for readability of fd until the deadline.
bool WaitReadable(int fd, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, MillisecondsLeft(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0;
    }
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

Bytes Pattern(size_t size, uint32_t seed)
{
    Bytes bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

int RecordingView::AppendRow(int record, const std::string& name)
{
    std::lock_guard lock(mutex_);
    rows_.push_back(record);
    cells_[{record, ColName}] = name;
    updates_.push_back({record, ColName, name});
    return static_cast<int>(rows_.size()) - 1;
}

void RecordingView::DeleteRow(int row)
{
    std::lock_guard lock(mutex_);
    if (row < 0 || row >= static_cast<int>(rows_.size()))
        throw std::logic_error("DeleteRow of a row that does not exist");
    const int record = rows_[row];
    rows_.erase(rows_.begin() + row);
    for (int column = ColName; column <= ColSent; ++column)
        cells_.erase({record, column});
}

int RecordingView::RowCount() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(rows_.size());
}

int RecordingView::RecordAtRow(int row) const
{
    std::lock_guard lock(mutex_);
    return rows_.at(row);
}

void RecordingView::SetCell(int record, int column, const std::string& text)
{
    std::lock_guard lock(mutex_);
    updates_.push_back({record, column, text});
    // Like the list: an update for a record without a row is dropped.
    for (int r : rows_) {
        if (r == record) {
            cells_[{record, column}] = text;
            return;
        }
    }
}

std::string RecordingView::Cell(int record, int column) const
{
    std::lock_guard lock(mutex_);
    auto it = cells_.find({record, column});
    return it == cells_.end() ? std::string() : it->second;
}

bool RecordingView::WaitCell(int record, int column, const std::string& text,
                             std::chrono::milliseconds limit) const
{
    return WaitUntil([&] { return Cell(record, column) == text; }, limit);
}

std::vector<RecordingView::Update> RecordingView::Updates() const
{
    std::lock_guard lock(mutex_);
    return updates_;
}

std::vector<int> RecordingView::Rows() const
{
    std::lock_guard lock(mutex_);
    return rows_;
}

TempRuntimeDir::TempRuntimeDir()
{
    char pattern[] = "/tmp/mv-link-test-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp");
    path_ = pattern;
    if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
        saved_ = old;
    setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
}

TempRuntimeDir::~TempRuntimeDir()
{
    if (saved_)
        setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

SocketAddress LoopbackAddress(const char* ip, uint16_t port)
{
    SocketAddress address;
    inet_pton(AF_INET, ip, &address.sin_addr);
    address.sin_port = htons(port);
    return address;
}

uint16_t FreePort(int type)
{
    int fd = socket(AF_INET, type, 0);
    SocketAddress any = LoopbackAddress("127.0.0.1", 0);
    bind(fd, any.Raw(), SocketAddress::Length);
    socklen_t length = SocketAddress::Length;
    getsockname(fd, any.Raw(), &length);
    close(fd);
    return any.Port();
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
    SocketAddress local = LoopbackAddress(ip, port);
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
    SocketAddress server = LoopbackAddress("127.0.0.1", serverPort_);
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
    if (!WaitReadable(fd_, Clock::now() + limit))
        return std::nullopt;
    Bytes buffer(4096);
    ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0)
        return std::nullopt;
    buffer.resize(n);
    return buffer;
}

SerialApp::SerialApp(const std::string& path)
{
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        return;
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(fd_, TCSANOW, &t);
}

SerialApp::~SerialApp()
{
    Close();
}

void SerialApp::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool SerialApp::Write(const Bytes& bytes)
{
    size_t done = 0;
    const auto deadline = Clock::now() + 10s;
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd_, POLLOUT, 0};
        if (poll(&p, 1, MillisecondsLeft(deadline)) <= 0 && Clock::now() > deadline)
            return false;
    }
    return true;
}

Bytes SerialApp::Read(size_t count, std::chrono::milliseconds limit)
{
    Bytes bytes;
    const auto deadline = Clock::now() + limit;
    uint8_t buffer[4096];
    while (bytes.size() < count && WaitReadable(fd_, deadline)) {
        ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (n > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return bytes;
}

bool SerialApp::Readable(std::chrono::milliseconds limit)
{
    return WaitReadable(fd_, Clock::now() + limit);
}

TcpDtu::TcpDtu(uint16_t port, int receiveBuffer)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0)
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    SocketAddress local = LoopbackAddress("127.0.0.1", port);
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
    if (!WaitReadable(listener_, Clock::now() + limit))
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
    const auto deadline = Clock::now() + limit;
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
        if (getsockname(fd, mine.Raw(), &a) == 0 && getpeername(fd, theirs.Raw(), &b) == 0 &&
            mine.Equals(peer) && theirs.Equals(local)) {
            int size = 4096;
            found = setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0;
        }
    }
    closedir(dir);
    return found;
}

LinkRig::LinkRig(bool sharedMode, int vportNo)
{
    settings.OnlyOnePort = sharedMode ? 1 : 0;
    settings.VPortNo = vportNo;
    settings.SocketPort = FreePort(SOCK_DGRAM);
    serverPort = FreePort(SOCK_DGRAM);
    const std::string local = "127.0.0.1:" + std::to_string(serverPort);
    table = std::make_unique<PortTable>(settings, sites, view, local.c_str());
    if (table->StartNetwork() != PortTable::NetworkResult::Started)
        throw std::runtime_error("StartNetwork");
    if (sharedMode)
        table->BindSharedControl();
    for (int i = 0; i < PortTable::MaxPorts; ++i) {
        table->ResetRecord(i);
        if (!sharedMode)
            table->BindRecordControl(i);
    }
    // Give the receive thread its socket before the first datagram.
    WaitUntil([&] { return table->udpServer->IsOpened(); });
}

LinkRig::~LinkRig()
{
    table->ShutdownLinks();
    table->StopNetwork();
    table.reset();
}

PortFields LinkRig::Fields(int number, const std::string& code, int useTcp,
                           const char* fixedIp) const
{
    PortFields fields;
    fields.PortNumber = number;
    fields.Code = code;
    fields.UseTcp = useTcp;
    fields.UseFixedIP = fixedIp ? 1 : 0;
    fields.peerAddress = LoopbackAddress(fixedIp ? fixedIp : "0.0.0.0", settings.SocketPort);
    return fields;
}

int LinkRig::AddPort(int number, const std::string& code, int useTcp, const char* fixedIp)
{
    const int i = table->FindFreeSlot();
    table->FillRecord(i, Fields(number, code, useTcp, fixedIp));
    table->ActivatePort(i);
    return i;
}
