#include "com/ClientLedger.h"

bool ClientLedger::HoldsObject(const QString& client) const
{
    const auto it = clients_.find(client);
    return it != clients_.end() && it->second.object;
}

int ClientLedger::Locks(const QString& client) const
{
    const auto it = clients_.find(client);
    return it == clients_.end() ? 0 : it->second.locks;
}

void ClientLedger::ObjectUsed(const QString& client)
{
    Holdings& holdings = clients_[client];
    if (holdings.object)
        return;
    holdings.object = true;
    lock_.Lock();
}

bool ClientLedger::LockServer(const QString& client, bool lockIt)
{
    if (lockIt) {
        ++clients_[client].locks;
        lock_.Lock();
        return true;
    }
    const auto it = clients_.find(client);
    if (it == clients_.end())
        return false;
    if (it->second.locks > 0) {
        --it->second.locks;
        const bool keep = it->second.object || it->second.locks > 0;
        if (!keep)
            clients_.erase(it);
        // Last, because falling to 0 may end the run.
        lock_.Unlock();
        return keep;
    }
    return true;
}

void ClientLedger::ClientGone(const QString& client)
{
    const auto it = clients_.find(client);
    if (it == clients_.end())
        return;
    const int held = it->second.locks + (it->second.object ? 1 : 0);
    clients_.erase(it);
    for (int i = 0; i < held; ++i)
        lock_.Unlock();
}
