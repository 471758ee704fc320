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
#include "service/PortRows.h"
#include "service/PortView.h"
#include "net/Clock.h"
#include "net/SocketAddress.h"
#include "support/Bytes.h"
#include "support/Loopback.h"
#include "support/RuntimeDir.h"
#include "support/SerialApp.h"
#include "support/Wait.h"
#include "vport/VirtualPortSites.h"

using namespace std::chrono_literals;

// The list as the service's rows fill it from the ports' statuses; cells are kept per record.
// Each read brings the rows up to date first, as the service's look at the ports does.
class RecordingView : public PortView {
public:
    void AppendRow(int record, const std::string& name) override;
    void DeleteRow(int row) override;
    void SetCell(int row, int column, const std::string& text) override;

    void SetRefresh(std::function<void()> refresh);
    std::string Cell(int record, int column) const;
    bool WaitCell(int record, int column, const std::string& text, std::chrono::milliseconds limit = 10s) const;
    std::vector<int> Rows() const;

private:
    std::vector<int> rows_;
    std::map<std::pair<int, int>, std::string> cells_;
    std::function<void()> refresh_;
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

// A DTU that listens for the link's TCP connection on 127.0.0.1 (or ip).
class TcpDtu {
public:
    explicit TcpDtu(uint16_t port, int receiveBuffer = 0, const char* ip = "127.0.0.1");
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

// A running table on 127.0.0.1 with its slots prepared, as the service brings it up; the
// ports added, edited and removed through the table's public interface, their rows kept as
// the service keeps them.
//
// With Timing::Manual the table runs on a ManualClock and its loop turns only when the test
// turns it (Advance, TurnUntil, Receive, and each look at the view's cells), so rules about
// seconds are checked without waiting for them.
class LinkRig {
public:
    enum class Timing { Real, Manual };

    explicit LinkRig(bool sharedMode = false, int vportNo = 5, Timing timing = Timing::Real);
    ~LinkRig();

    // Timing::Manual: moves the clock on, then turns the loop once, so what became due runs.
    void Advance(std::chrono::nanoseconds step);
    // Turns the loop for span (real time) without moving the clock: what an application or a
    // DTU just sent is taken in.
    void Settle(std::chrono::milliseconds span = 100ms);
    // Turns the loop until done holds or the limit (real time) passed.
    bool TurnUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s);
    // The DTU's next datagram, the loop turned while it waits.
    std::optional<Bytes> Receive(UdpDtu& dtu, std::chrono::milliseconds limit = 10s);
    // Timing::Manual: moves the clock on by step and turns the loop, over and over, until done
    // holds or the limit (real time) passed: a backlog framed with a gap of step leaves a chunk
    // a step.
    bool RunUntil(const std::function<bool()>& done, std::chrono::nanoseconds step,
                  std::chrono::milliseconds limit = 10s);
    // Writes every byte as the application does, from a thread of its own while this one turns
    // the loop: the port takes its input in with no pump reading it, up to its input limit.
    bool Write(SerialApp& app, const Bytes& bytes);

    // The DTUs' port from now on, handed to the table as the service hands its settings.
    void UseSocketPort(uint16_t port);
    int AddPort(int number, const std::string& code, int useTcp = 0, const char* fixedIp = nullptr);
    int AddPort(const PortConfig& config);  // in the first free slot
    void Edit(int slot, const PortConfig& config);
    void Remove(int slot);
    PortConfig Fields(int number, const std::string& code, int useTcp = 0, const char* fixedIp = nullptr) const;
    PortStatus Status(int slot) const { return table->Status(slot); }
    // The device an application opens, "" when the port is not served.
    std::string Path(int record) const { return Status(record).device; }

    const Timing timing;
    ManualClock clock;  // the table's under Timing::Manual
    TempRuntimeDir runtimeDir;
    GlobalSettings settings;
    VirtualPortSites sites;
    PortRows rows;
    RecordingView view;
    uint16_t serverPort;
    std::unique_ptr<PortTable> table;
};

// Timing::Manual, the application's bytes written (LinkRig::Write): moves the clock on a gap
// at a time until gaps pass without a chunk leaving, as they do once the record's TCP link
// refuses the chunks its DTU does not read. False when the count never stood still.
bool WaitUntilSentStalls(LinkRig& rig, int record);

// Appends what has come so far; true once into holds count bytes. Reads without waiting, so a
// test can turn the loop meanwhile (LinkRig::TurnUntil, RunUntil).
bool ReadUpTo(SerialApp& app, Bytes& into, size_t count);
bool ReadUpTo(TcpDtu& dtu, Bytes& into, size_t count);
