#pragma once

#include <QDialog>
#include <QStringList>
#include <memory>
#include <string>

#include "com/PortSelectionTarget.h"
#include "config/ConfigStore.h"
#include "config/GlobalSettings.h"
#include "link/PortTable.h"
#include "tray/CSystemTray.h"
#include "vport/VirtualPortSites.h"

class PortEditDialog;
class PortListView;
class QPushButton;

// The main window "MV5840 虚拟串口管理": the list of ports in service and the user's flows on
// it (add, edit, delete, configure, exit). It owns everything that runs; the running half
// lives in PortTable, which this window drives on its own thread.
class PortManagerDialog : public QDialog, public PortSelectionTarget {
    Q_OBJECT
public:
    // serverAddress: the UDP server's local address; tests move it off port 3700.
    explicit PortManagerDialog(QWidget* parent = nullptr, const char* serverAddress = "0.0.0.0:3700");
    ~PortManagerDialog() override;

    PortTable& Table() { return *table; }
    PortListView* List() const { return portList; }
    CSystemTray& TrayIcon() { return trayIcon; }
    const GlobalSettings& Settings() const { return settings; }

    // Exit button, tray exit command and window close: asks while a port is held open.
    void RequestClose();
    // A signal to end (logout, Ctrl+C, service stop): the same teardown, no question.
    void EndWithoutQuestion();
    // Tray command 32772 and a second start of the program.
    void ShowWindow() override;

    bool SelectSharedTarget(const std::string& code) override;
    std::string GetSharedTargetCode() const override;

public slots:
    void AddPort();
    void EditPort();
    void DeletePort();
    void Configure();
    void ShowAbout();

protected:
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void InitDialog();
    void LoadPortTable(const StoredConfig& stored);
    void StartNetwork();
    PortFields FieldsFromDialog(const PortEditDialog& dialog) const;
    int ShowMessage(const QString& text, const QString& caption, int buttons, int icon);
    // The row's tooltips: the device to open, or why the port is not served.
    void ShowPortState(int i);
    void SavePortConfig(int i);
    void ShowSaveFailure();
    // What went wrong while starting (configuration file, UDP port), shown once the window is up.
    void ShowStartNotices();
    QStringList startNotices;

    GlobalSettings settings;
    ConfigStore store;
    VirtualPortSites sites;
    PortListView* portList = nullptr;
    std::unique_ptr<PortTable> table;
    CSystemTray trayIcon;
};
