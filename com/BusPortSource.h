#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QTimer>
#include <QVariantMap>
#include <map>

#include "service/PortRows.h"
#include "service/PortSource.h"

class QDBusError;
class QDBusMessage;

// The ports of another instance of the user's (a service) for the window, over the session
// bus (MV5840VSP.IPortManager): its list follows PortChanged at once and ListPorts for the
// counts (ListCounters) every RefreshIntervalMs; changes go as calls whose answers come back through the
// event loop, so the window's thread never waits on the other instance. When that instance
// ends, the list stays as it was, marked as not current, and the next instance that takes
// the name is attached by itself. The window owns no port through it. Main thread only.
class BusPortSource : public PortSource {
    Q_OBJECT
public:
    static constexpr int RefreshIntervalMs = 1000;

    explicit BusPortSource(const QDBusConnection& connection, QObject* parent = nullptr);

    void Attach(PortView* view) override { rows_.Attach(view); }
    Started Start() override;
    const GlobalSettings& Settings() const override { return settings_; }
    std::optional<PortStatus> StatusOf(int record) const override;
    std::optional<LineState> LineSettings(int record) const override;

    void Add(const PortConfig& config, Done done) override;
    void Edit(int record, const PortConfig& config, Done done) override;
    void Remove(int record, bool force, Done done) override;
    void SaveSettings(const GlobalSettings& entered, Done done) override;
    void OpenTrace(int record, TraceDone done) override;

    std::vector<PortStatus> PortsEndingInUse() const override { return {}; }
    std::string RestartAdvice() const override;
    bool EndsForNewSettings() const override { return false; }
    bool Current() const override { return current_; }
    std::string Absence() const override;

    // The automation interface's selection belongs to the instance that serves the ports.
    bool SelectSharedTarget(const std::string&) override { return false; }
    std::string GetSharedTargetCode() const override { return {}; }

    // The process of the instance shown, 0 while none is known.
    uint ServerProcess() const { return serverProcess_; }

private slots:
    void OnPortChanged(const QVariantMap& port);

private:
    void OnOwnerChanged(const QString& newOwner);
    // The instance that owns the name now (the first one at Start).
    void AttachInstance(bool first);
    using Answer = std::function<void(const QDBusMessage& reply)>;
    // Sends the call; its answer goes to then, or a refusal to done.
    void Call(const QString& method, const QList<QVariant>& arguments, Answer then, Done done);
    void Change(const QString& method, const QList<QVariant>& arguments, Done done);
    // Asks for the list (and then runs then, if any); one question at a time.
    void Refresh(std::function<void()> then = {});
    void TakeList(const QList<QVariantMap>& ports);
    // The counts of every port; the whole list again when the ports are not those shown.
    void TakeCounters(const QList<QList<qulonglong>>& ports);
    // A port as the other instance says it is now: its row follows.
    void Take(const PortStatus& port);
    void Drop(int record);
    void SetCurrent(bool current);
    void ChangedSoon();
    static PortError Refusal(const QDBusError& error, std::string& text);

    QDBusConnection connection_;
    QDBusServiceWatcher watcher_;
    QTimer refreshTimer_;
    QTimer changedTimer_;
    PortRows rows_;
    std::map<int, PortStatus> ports_;  // by record
    GlobalSettings settings_;
    bool current_ = true;
    bool asking_ = false;                           // a ListPorts call is out
    std::vector<std::function<void()>> afterList_;  // for the list that is out
    std::vector<std::function<void()>> afterNext_;  // for a list asked after that one
    bool askAgain_ = false;
    uint serverProcess_ = 0;
};
