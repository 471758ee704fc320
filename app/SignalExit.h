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

    // Blocks the three signals, as the program's very first step: one that comes before a
    // SignalExit is made waits for it (threads started meanwhile keep them blocked, so it
    // reaches the main thread) instead of ending the process. A SignalExit unblocks them on
    // its thread.
    static void Hold();

private:
    static void Handler(int signal);
    void OnSignals();

    QSocketNotifier* notifier_ = nullptr;
    std::function<void()> onHangUp_;
};
