#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (logout, service stop, Ctrl+C) into an orderly end of the
// event loops, so the normal teardown removes every port before the process exits.
class SignalExit : public QObject {
    Q_OBJECT
public:
    explicit SignalExit(QObject* parent = nullptr);
    ~SignalExit() override;

private:
    static void Handler(int signal);
    QSocketNotifier* notifier_ = nullptr;
};
