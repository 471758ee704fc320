#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (logout, service stop, Ctrl+C) into an orderly end of the
// event loops, so the normal teardown removes every port before the process exits. A run
// that reloads its configuration on SIGHUP passes what to do instead of ending.
class SignalExit : public QObject {
    Q_OBJECT
public:
    explicit SignalExit(std::function<void()> onHangUp = {}, QObject* parent = nullptr);
    ~SignalExit() override;

private:
    static void Handler(int signal);
    void OnSignals();

    QSocketNotifier* notifier_ = nullptr;
    std::function<void()> onHangUp_;
};
