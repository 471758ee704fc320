#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/GlobalSettings.h"
#include "link/PortTable.h"
#include "link/PortView.h"
#include "net/SocketAddress.h"
#include "support/Bytes.h"
#include "support/Loopback.h"
#include "support/RuntimeDir.h"
#include "support/SerialApp.h"
#include "support/Wait.h"
#include "vport/VirtualPortSites.h"

using namespace std::chrono_literals;

// The list as the link runtime fills it; cells are kept per record. The live
// cells (connection and counts) are read from the source as the window reads them.
class RecordingView : public PortView {
public:
    int AppendRow(int record, const std::string& name) override;
    void DeleteRow(int row) override;
    int RowCount() const override;
    int RecordAtRow(int row) const override;
    void SetCell(int record, int column, const std::string& text) override;

    void SetLiveSource(std::function<PortStatus(int record)> source);
    std::string Cell(int record, int column) const;
    // How many cell updates were made so far.
    int SetCellCount() const;
    bool WaitCell(int record, int column, const std::string& text,
                  std::chrono::milliseconds limit = 10s) const;
    std::vector<int> Rows() const;

private:
    mutable std::mutex mutex_;
    std::vector<int> rows_;
    std::map<std::pair<int, int>, std::string> cells_;
    std::function<PortStatus(int record)> live_;
    int setCells_ = 0;
};

// A DTU on UDP: a socket on 127.0.0.x that talks to the server.
class UdpDtu {
public:
    UdpDtu(uint16_t serverPort, const char* ip = "127.0.0.1", uint16_t port = 0);
    ~UdpDtu();
    UdpDtu(const UdpDtu&) = delete;
    UdpDtu& operator=(const UdpDtu&) = delete;

    uint16_t Port() const;
    void Send(const Bytes& datagram);
    void SendLogin(const std::string& code);
    void SendData(const std::string& code, const Bytes& payload);
    // The next datagram within the limit.
    std::optional<Bytes> Receive(std::chrono::milliseconds limit = 10s);

private:
    int fd_;
    uint16_t serverPort_;
};

Bytes Header(const std::string& code, uint8_t type);

// A DTU that listens for the link's TCP connection on 127.0.0.1.
class TcpDtu {
public:
    explicit TcpDtu(uint16_t port, int receiveBuffer = 0);
    ~TcpDtu();
    int Accept(std::chrono::milliseconds limit = 10s);  // the connection, or -1
    void CloseConnection();
    bool Write(const Bytes& bytes);
    Bytes Read(size_t count, std::chrono::milliseconds limit = 10s);
    // Shrinks the send buffer of the link's end of the connection (a descriptor of this
    // process), so a DTU that stops reading makes the link refuse writes soon.
    bool ShrinkPeerSendBuffer();

private:
    int listener_;
    int connection_ = -1;
};

int ThreadCount();

// A running table on 127.0.0.1 with its controls bound, as the main window brings it up.
class LinkRig {
public:
    explicit LinkRig(bool sharedMode = false, int vportNo = 5);
    ~LinkRig();

    int AddPort(int number, const std::string& code, int useTcp = 0,
                const char* fixedIp = nullptr);
    PortConfig Fields(int number, const std::string& code, int useTcp = 0,
                      const char* fixedIp = nullptr) const;
    std::string Path(int record) { return table->PortDevicePath(record); }

    TempRuntimeDir runtimeDir;
    GlobalSettings settings;
    VirtualPortSites sites;
    RecordingView view;
    uint16_t serverPort;
    std::unique_ptr<PortTable> table;
};

// Waits until the record's link refuses the DTU's writes: the count sent to it stops moving.
bool WaitUntilSentStalls(LinkRig& rig, int record);
