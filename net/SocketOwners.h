#pragma once

#include <cstdint>

#include "net/Datagram.h"

class UdpServerSocket;

// What the UDP server tells its owner, on the server's own threads. Data and sources are
// valid only during the call.
class UdpServerOwner {
public:
    // The datagrams one receive call took, in arrival order (count >= 1).
    virtual void OnDatagrams(UdpServerSocket* server, const ReceivedDatagram* datagrams,
                             int count) = 0;
    virtual void OnServerStateChanged() = 0;

protected:
    ~UdpServerOwner() = default;
};

// What a TCP client link tells its owner (a port record), on the link's worker.
class TcpLinkOwner {
public:
    virtual void OnLinkConnected() = 0;
    // Returns how many of the bytes were taken. The link keeps the rest, stops reading the
    // socket (so TCP holds the DTU back) and offers the rest again every RetryMs.
    virtual int OnLinkData(const uint8_t* data, int length) = 0;
    virtual void OnLinkClosed() = 0;
    // A connection attempt failed with error (an errno: refused, timed out, unreachable);
    // the link tries again after its spacing.
    virtual void OnLinkAttemptFailed(int error) { (void)error; }

protected:
    ~TcpLinkOwner() = default;
};
