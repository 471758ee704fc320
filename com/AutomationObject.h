#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QList>
#include <QString>
#include <QVariantMap>

#include "com/AppLock.h"
#include "com/ClientLedger.h"
#include "com/PortSelectionTarget.h"

class PortManager;
struct PortError;

// The object at /IMV5840VSP. Its adaptors (generated from the interface description) call the
// operations below; each bus client is counted as one automation object in the ledger.
class AutomationObject : public QObject, protected QDBusContext {
    Q_OBJECT
public:
    // SelectDtu's reply: a port was selected, or none in service has the code (the earlier
    // choice stays).
    static constexpr int Selected = 0;
    static constexpr int NotFound = 1;
    // Show's answer from a run without a window (a service, or a run for automation clients).
    static constexpr char NoWindowError[] = "MV5840VSP.Error.NoWindow";
    // The bus name of a window that shows the ports of an instance without a window of its
    // own (a front end); Show raises it.
    static constexpr char FrontEndService[] = "MV5840VSP.Window";

    AutomationObject(AppLock& lock, const QDBusConnection& connection, QObject* parent = nullptr);

    // nullptr: a run without a main window; nothing can be selected then.
    void SetTarget(PortSelectionTarget* newTarget) { target_ = newTarget; }

    const ClientLedger& Ledger() const { return ledger_; }

    // Publishes the port manager on this object; before the object is registered, once.
    void SetPortManager(PortManager* manager);

    // MV5840VSP.IPortSelection
    int SelectDtu(const QString& code);
    QString GetSelectedDtu();
    // MV5840VSP.IClassFactory
    void LockServer(bool lockIt);
    // MV5840VSP.IApplication
    void Show();
    // MV5840VSP.IPortManager; a refusal is the call's error reply.
    QList<QVariantMap> ListPorts();
    QList<QList<qulonglong>> ListCounters();
    QVariantMap GetPort(const QVariantMap& selector);
    QVariantMap AddPort(const QVariantMap& request);
    QVariantMap EditPort(const QVariantMap& selector, const QVariantMap& changes);
    void RemovePort(const QVariantMap& selector, bool force);
    QVariantMap GetSettings();
    void SetSettings(const QVariantMap& settings);
    QDBusUnixFileDescriptor Monitor(const QList<QVariantMap>& selectors);
    QVariantMap GetStatistics();

signals:
    void PortChanged(const QVariantMap& port);

private:
    // The calling client's unique bus name; empty for a call that did not come over the bus.
    QString Caller() const;
    void Watch(const QString& client);
    void OnClientGone(const QString& client);
    void ObjectUsed();
    // Answers the bus call with the error, when there is one.
    void Refuse(const PortError& error);

    AppLock& lock_;
    QDBusConnection connection_;
    ClientLedger ledger_;
    QDBusServiceWatcher clientWatcher_;
    PortSelectionTarget* target_ = nullptr;
    PortManager* manager_ = nullptr;
};
