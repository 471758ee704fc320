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
