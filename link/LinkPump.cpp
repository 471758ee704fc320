#include "link/LinkPump.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <poll.h>
#include <sys/prctl.h>

#include "link/DtuPacket.h"
#include "link/PortTable.h"
#include "net/TcpClientLink.h"
#include "net/UdpServerSocket.h"
#include "vport/VirtualSerialPort.h"

namespace {

constexpr int RetryPeriodMs = 10;

}  // namespace

LinkPump::LinkPump(PortTable& table, VirtualPortEntry& entry, bool shared)
    : table_(table), entry_(entry), shared_(shared),
      port_(shared ? table.sharedControl : entry.control), rule_(shared)
{
}

void LinkPump::Run()
{
    if (!port_) {
        while (Wait(Sleep::UntilWoken)) {
        }
        return;
    }
    if (!shared_) {
        port_->EnableReceive(true);
        port_->EnableTransmit(true);
    }
    // The gap is the pump's only timer: let it end when it is due rather than up to the
    // default 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (Wait(Pass())) {
    }
}

LinkPump::Sleep LinkPump::Pass()
{
    // The whole pass runs under pumpLock in both modes: the flows change Code, the peer
    // address, UseTcp and tcpLink under it, and DropTcpLink must keep passes off the link.
    PortTable::PumpLockHold hold(table_.pumpLock);
    gapMs_ = entry_.FrameGap;
    // The shared port is read only by the target's pump; the others keep their count. A held
    // chunk still goes to this record's DTU, which it was read for, after the target moved.
    const bool reads = !shared_ || table_.sharedTarget.load(std::memory_order_relaxed) == entry_.index;
    if (heldLength_ > 0) {
        if (!Deliver())
            return AfterRefusal();
        if (!reads)
            return Sleep::UntilWoken;
        rule_.Left(port_->Pending());
        return AfterPass(true);
    }
    return reads ? Pump() : Sleep::UntilWoken;
}

LinkPump::Sleep LinkPump::Pump()
{
    // A disconnected TCP port leaves its bytes queued in the virtual port.
    if (entry_.UseTcp && !entry_.tcpConnected.load(std::memory_order_relaxed))
        return Sleep::UntilWoken;

    const int want = rule_.Take(port_->Pending(), gapMs_);
    if (want == 0)
        return AfterPass(false);

    const int count = port_->Read(entry_.transferBuffer, want);
    if (count > 0) {
        heldOffset_ = 0;
        heldLength_ = count;
        if (!Deliver())
            return AfterRefusal();
    }
    rule_.Left(port_->Pending());
    return AfterPass(true);
}

LinkPump::Sleep LinkPump::AfterPass(bool sent)
{
    if (!rule_.AnyWaiting())
        return Sleep::UntilInput;
    // A chunk still growing is held until one gap after its last bytes came in, not after
    // this pump saw them, so the time it took to be woken is not added to every chunk. After
    // a chunk left, the next waits a whole gap: a backlog reaches the DTU one chunk a gap.
    tickFrom_ = sent ? std::chrono::steady_clock::now() : port_->LastInputTime();
    return Sleep::Tick;
}

bool LinkPump::Deliver()
{
    const uint8_t* data = entry_.transferBuffer + heldOffset_;
    const int count = heldLength_ - heldOffset_;
    if (entry_.UseTcp) {
        TcpClientLink* link = entry_.tcpLink.get();
        if (!link || !entry_.tcpConnected.load(std::memory_order_relaxed))
            return false;
        // The link copies what it accepts, so transferBuffer is free again afterwards.
        const int accepted = link->Write(data, count);
        if (accepted <= 0)
            return false;
        heldOffset_ += std::min(accepted, count);
        if (heldOffset_ < heldLength_)
            return false;
    } else {
        uint8_t datagram[DtuPacket::MaxDataDatagram];
        const int size = DtuPacket::BuildDataDatagram(entry_.Code, data, count, datagram);
        // A chunk that could not leave (no DTU address known yet, no route, the socket being
        // reopened) is lost, as on a serial line, and not counted as sent.
        if (!table_.udpServer->SendTo(entry_.peerAddress, datagram, size)) {
            heldOffset_ = heldLength_ = 0;
            return true;
        }
    }
    entry_.bytesToNetwork.fetch_add(heldLength_, std::memory_order_relaxed);
    heldOffset_ = heldLength_ = 0;
    return true;
}

LinkPump::Sleep LinkPump::AfterRefusal() const
{
    // A link that is down wakes the pump when it connects; a connected one that refuses is
    // asked again after 10 ms.
    if (entry_.UseTcp && !entry_.tcpConnected.load(std::memory_order_relaxed))
        return Sleep::UntilWoken;
    return Sleep::Retry;
}

bool LinkPump::Stopping()
{
    // Reset before looking at the flag: a stop that comes after the look signals again.
    entry_.pumpStopEvent->Reset();
    return entry_.pumpStopping.load() != 0;
}

bool LinkPump::Wait(Sleep sleep)
{
    using Clock = std::chrono::steady_clock;
    const bool timed = sleep == Sleep::Tick || sleep == Sleep::Retry;
    const auto deadline = sleep == Sleep::Retry ? Clock::now() + std::chrono::milliseconds(RetryPeriodMs)
                                                : tickFrom_ + std::chrono::milliseconds(gapMs_);
    pollfd fds[2] = {{entry_.pumpStopEvent->Fd(), POLLIN, 0}, {-1, POLLIN, 0}};
    const nfds_t count = sleep == Sleep::UntilInput ? 2 : 1;
    if (count == 2)
        fds[1].fd = port_->InputFd();
    for (;;) {
        // To the microsecond: a millisecond timeout rounded up would add most of a
        // millisecond to every chunk.
        timespec timeout{};
        if (timed) {
            const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        const int ready = ppoll(fds, count, timed ? &timeout : nullptr, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return true;  // the pass period is over
        if (fds[0].revents) {
            if (Stopping())
                return false;
            // Woken: a new pass at once, except that a timed pass keeps its period so the
            // stable-count test always spans a whole gap.
            if (timed)
                continue;
        }
        return true;
    }
}
