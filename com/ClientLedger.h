#pragma once

#include <QString>

#include <map>

#include "com/AppLock.h"

// What each bus client holds: one automation object from its first selection call until it
// leaves the bus, and the locks it took with LockServer(true). A client that leaves gives
// back everything it held, so a script that calls and exits releases the program.
class ClientLedger {
public:
    explicit ClientLedger(AppLock& lock) : lock_(lock) {}

    bool Knows(const QString& client) const { return clients_.count(client) != 0; }
    bool HoldsObject(const QString& client) const;
    int Locks(const QString& client) const;
    int ClientCount() const { return static_cast<int>(clients_.size()); }

    // The client's first selection call constructs its object; later calls reuse it.
    void ObjectUsed(const QString& client);
    // An unlock from a client that holds no lock is ignored: one client must not be able to
    // take away the locks of others. Returns false when the client is no longer tracked.
    bool LockServer(const QString& client, bool lockIt);
    // The client left the bus: its object and its locks go.
    void ClientGone(const QString& client);

private:
    struct Holdings {
        bool object = false;
        int locks = 0;
    };

    AppLock& lock_;
    std::map<QString, Holdings> clients_;
};
