#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "config/PortConfig.h"
#include "net/Event.h"
#include "net/EventLoop.h"
#include "net/Reason.h"
#include "net/SocketAddress.h"
#include "net/TcpConnection.h"

class PortTable;
class VirtualSerialPort;

// One of the 200 port records. Configuration fields carry the names of their stored values.
// Fields read by other threads than their writer are atomic; Code and the peer address are
// changed only under the table's pumpLock.
struct VirtualPortEntry : TcpConnection::Owner {
    // How long bytes from the TCP link that the port could not take wait before they are
    // offered again; the port's queue makes room as the application reads.
    static constexpr std::chrono::milliseconds TcpOfferRetry{10};

    int index = 0;  // record index: slot, stored group index + 1, port site
    PortTable* owner = nullptr;

    std::atomic<int> portHeld{0};
    std::atomic<int> linkRunning{0};
    int PortNumber = 0;
    int UseFixedIP = 0;
    SocketAddress peerAddress;
    // Where a dynamic UDP port's DTU last logged in from (data may come from elsewhere).
    SocketAddress loginAddress;
    std::atomic<int> online{0};
    int LoginInterval = 300;
    std::string Code;
    int UseTcp = 0;
    int FrameGap = PortConfig::DefaultFrameGap;  // read by the pump under pumpLock
    std::atomic<int> tcpConnected{0};
    // Why the TCP link's last connection attempt failed (an errno), 0 once it connected.
    std::atomic<int> tcpFailure{0};
    VirtualSerialPort* control = nullptr;
    std::unique_ptr<Event> pumpStopEvent;
    // The TCP link and its wait before bytes the port could not take are offered again; both
    // made, used and ended on the loop thread only.
    std::unique_ptr<TcpConnection> tcpLink;
    std::unique_ptr<EventLoop::Timer> tcpResume;
    uint8_t transferBuffer[2000] = {};
    std::atomic<uint32_t> lastReportTick{0};
    std::atomic<int64_t> bytesFromNetwork{0};
    std::atomic<int64_t> bytesToNetwork{0};
    // Why the record is in service but its port is not served (none while it is): the virtual
    // port could not be opened, or an earlier slot serves the same PortNumber. Written on the
    // main thread under pumpLock; a record with a reason matches no datagram.
    Reason notServedReason;
    // Bytes from the DTU that the port could not take (UDP only; TCP is held back instead).
    std::atomic<int64_t> bytesDropped{0};

    // Set before pumpStopEvent is signalled to end the pump. A signal without it only wakes a
    // sleeping pump (its TCP link connected, it became the shared target).
    std::atomic<int> pumpStopping{0};
    // Guards creating and closing pumpStopEvent against wake-ups from other threads.
    std::mutex pumpEventGuard;

    // Wakes the pump when it sleeps; nothing when no pump runs. Any thread.
    void WakePump();

    // TCP notifications, on the loop thread.
    void OnConnected() override;
    int OnData(const uint8_t* data, int length) override;
    void OnClosed() override;
    void OnAttemptFailed(int error) override;
    void OnWritable() override;

    ~VirtualPortEntry();
};
