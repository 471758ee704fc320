#pragma once

#include <cstdint>

#include "net/Clock.h"
#include "net/LocalAddresses.h"
#include "net/SocketAddress.h"

// One datagram taken from the UDP socket; data and source are valid only during the call that
// hands it over.
struct ReceivedDatagram {
    SocketAddress source;
    const uint8_t* data;
    int length;
};

// One datagram to send; the data must stay valid during the call that sends it.
struct OutgoingDatagram {
    SocketAddress destination;
    const uint8_t* data;
    int length;
};

// Sends each datagram from the UDP socket fd in order, with as few system calls as the kernel
// allows (up to 32 a call); one that cannot be sent (no peer: any-address or port 0, or
// refused) is skipped, and once the send queue is full the rest of that call's are. Returns
// the count sent.
int SendDatagrams(int fd, const OutgoingDatagram* datagrams, int count);

// The source is the socket bound to local itself: its own address and port, or with the
// any-address one of this machine's addresses (as ownAddresses knows them) at its port.
bool FromSocketItself(const SocketAddress& local, const SocketAddress& source, LocalAddresses& ownAddresses,
                      const Clock& clock);

// Room for long bursts from many DTUs while the datagrams before them are handled.
void EnlargeReceiveQueue(int fd);
