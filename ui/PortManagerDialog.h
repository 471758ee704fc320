#pragma once

#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "com/PortSelectionTarget.h"
#include "config/GlobalSettings.h"
#include "service/PortSource.h"
#include "tray/CSystemTray.h"

class PortEditDialog;
class PortListView;
class PortMonitorDialog;
class QLabel;
class QPushButton;

// The main window "MV5840 虚拟串口管理": the list of ports in service and the user's flows on
// it (add, edit, delete, configure, exit). The ports belong to the port source: the window
// starts it, passes the user's changes to it, shows its refusals and reads its snapshots.
class PortManagerDialog : public QDialog, public PortSelectionTarget {
    Q_OBJECT
public:
    // Starts the source, which is not started yet, with this window's list attached.
    explicit PortManagerDialog(PortSource& source, QWidget* parent = nullptr);
    ~PortManagerDialog() override;

    PortListView* List() const { return portList_; }
    CSystemTray& TrayIcon() { return trayIcon_; }
    const GlobalSettings& Settings() const { return source_.Settings(); }

    // Exit button, tray exit command and window close: asks while a port is held open.
    void RequestClose();
    // A signal to end (logout, Ctrl+C, service stop): the same teardown, no question.
    void EndWithoutQuestion();
    // Tray command 32772 and a second start of the program.
    bool ShowWindow() override;

    // Where "监视…" gets a port's trace: the source's by default (a test hands its own).
    // Returns the stream's reading end for the window to own, or -1 when there is none.
    void SetTraceSource(std::function<int(int slot)> source) { traceSource_ = std::move(source); }

    bool SelectSharedTarget(const std::string& code) override;
    std::string GetSharedTargetCode() const override;

public slots:
    void AddPort();
    void EditPort();
    void DeletePort();
    void Configure();
    void ShowAbout();
    // Opens the live view of the slot's trace, or brings forward the one still open.
    void MonitorPort(int slot);

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // What a change came to; answered false when the run ended before its answer came.
    struct Outcome {
        bool answered = false;
        PortError error;
        QString text;
    };

    void InitDialog();
    void StartSource();
    PortConfig FieldsFromDialog(const PortEditDialog& dialog) const;
    int ShowMessage(const QString& text, const QString& caption, int buttons, int icon);
    int RunDialog(QDialog& dialog);
    // The change's answer; the window goes on answering the user until it comes.
    static Outcome Await(const std::function<void(PortSource::Done)>& change);
    // Hands the dialog's values to change until the source takes them or the user cancels;
    // a refusal of the values is shown and the dialog runs again, one by the configuration
    // file is shown and ends it.
    void SubmitUntilTaken(PortEditDialog& dialog,
                          const std::function<void(const PortConfig&, PortSource::Done)>& change);
    // The rows' tooltips: the device to open, or why the port is not served; why a port
    // cannot hear or reach its DTU.
    void ShowPortStates();
    // The open live views follow their ports: a new name in the title, the end when one goes.
    void FollowMonitoredPorts();
    void ShowRefusal(const QString& text);
    // What went wrong while starting (configuration file, UDP port), shown once the window is up.
    void ShowStartNotices();
    // While the ports' instance is away: said above the list, which shows as not current.
    void ShowCurrent();
    // The ports an application still holds, and which programs hold them where the system
    // tells, below the in-use question.
    static QString HeldPortsText(const std::vector<PortStatus>& held);

    QStringList startNotices_;
    PortSource& source_;
    std::function<int(int slot)> traceSource_;
    // The live views, by slot, while open.
    std::map<int, QPointer<PortMonitorDialog>> monitors_;
    PortListView* portList_ = nullptr;
    QLabel* absence_ = nullptr;
    CSystemTray trayIcon_;
};
