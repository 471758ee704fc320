#include "app/PortManagerApp.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <memory>

#include "app/ServiceManagerLink.h"
#include "app/SignalExit.h"
#include "config/ConfigStore.h"
#include "com/BusPortSource.h"
#include "com/ComServer.h"
#include "com/FrontEnd.h"
#include "com/PortSelectionTarget.h"
#include "net/Log.h"
#include "service/LocalPortSource.h"
#include "service/PortService.h"
#include "ui/PortManagerDialog.h"
#include "vport/PortDirectoryLock.h"
#include "vport/VirtualSerialPort.h"

namespace {

// False when another instance serves the port directory: said in one line and, when a window
// can be shown, in a message box.
bool TakePortDirectory(PortDirectoryLock& lock, bool windowShown)
{
    switch (lock.Take()) {
    case PortDirectoryLock::Result::Taken:
        if (!lock.Refusal().empty())
            Log::Error(lock.Refusal() + "; no port can be served (the single-instance lock is held in "
                       + lock.Directory() + " instead)");
        return true;
    case PortDirectoryLock::Result::Failed:
        // The run goes on; each port then says why it is not served.
        Log::Warning(lock.Failure() + "; no second start of the program can be kept out");
        return true;
    case PortDirectoryLock::Result::HeldByOther: break;
    }
    const QString holder = lock.Holder() > 0 ? QString::number(lock.Holder()) : QStringLiteral("?");
    Log::Error("another instance (process " + holder.toStdString() + ") already "
               + (lock.Refusal().empty() ? "serves the port directory " : "holds the single-instance lock in ")
               + lock.Directory() + "; ending");
    if (windowShown && QGuiApplication::platformName() != QLatin1String("offscreen")) {
        QMessageBox::warning(nullptr, QStringLiteral("MV5840VSP"),
                             QStringLiteral("另一个 MV5840VSP（进程 %1）正在提供 %2 中的虚拟串口，本次启动将结束。")
                                 .arg(holder, QString::fromStdString(lock.Directory())));
    }
    return false;
}

// The automation interface's shared-port selection in a run without a window.
class ServiceSelection : public PortSelectionTarget {
public:
    explicit ServiceSelection(PortService& service) : service_(service) {}
    bool SelectSharedTarget(const std::string& code) override { return service_.SelectSharedTarget(code); }
    std::string GetSharedTargetCode() const override { return service_.GetSharedTargetCode(); }
    bool ShowWindow() override { return false; }  // there is none

private:
    PortService& service_;
};

// With no port configured, how to add one; false when there are ports. A service reads the
// file again on SIGHUP, a window's run only when it starts.
bool GuideFirstRun(const PortService& service, bool onBus, bool windowRun, Log::Priority priority)
{
    if (PortCounts::Of(service.Snapshot()).configured != 0)
        return false;
    Log::Report(priority, "no port configured yet; add one with \"mv5840vspctl add --number N --code CODE\" while "
                          "this runs, or as a group in "
                              + ConfigStore::DefaultFileName()
                              + (windowRun ? " and start the program again" : " and reload (SIGHUP)"));
    if (!onBus)
        Log::Report(priority, "mv5840vspctl reaches the program through the session bus, which this run does not have; "
                              "start it where DBUS_SESSION_BUS_ADDRESS is set (for example under dbus-run-session)");
    return true;
}

// One line on how many ports are served; with none configured, how to add one.
void ReportServing(const PortService& service, bool onBus)
{
    if (GuideFirstRun(service, onBus, false, Log::Priority::Notice))
        return;
    const PortCounts counts = PortCounts::Of(service.Snapshot());
    std::string line = "serving " + std::to_string(counts.served) + " of " + std::to_string(counts.configured)
                       + " ports; port links in " + VirtualSerialPort::PortDirectory();
    if (counts.served < counts.configured)
        Log::Warning(line + "; the others are not served, for the reasons said above");
    else
        Log::Notice(line);
}

// The window shown and run until its end; the run's status.
int RunWindow(PortManagerDialog& window)
{
    // Shown without a modal run of its own: a modal main window would block the input of
    // every other window of the program, the tray icon's among them. Its end (exit,
    // a changed configuration) ends the application's run.
    QObject::connect(&window, &QDialog::finished, &window, [] { QCoreApplication::exit(0); });
    window.show();
    return QApplication::exec();
}

// The window as a front end of the service that serves the ports: it owns none of them, and
// its end (exit, the tray's exit, closing, a signal) leaves them served.
int RunFrontEnd(uint serviceProcess)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    BusPortSource source(bus);
    PortManagerDialog window(source);
    FrontEnd frontEnd(bus, window);
    // Another window shows them already (it started at the same moment): that one comes forward.
    // A window that has just ended may still hold the name for a moment: then this one takes it.
    for (int attempt = 0; !frontEnd.Publish(); ++attempt) {
        if (FrontEnd::AskToShow(bus) || attempt == 40) {
            Log::Notice("already running: a window shows the ports of the running instance; asked it to come forward");
            return 0;
        }
        QThread::msleep(50);
    }
    // Said where a user who started it from a terminal looks: it is not the run they may expect.
    Log::Warning("MV5840VSP already runs as a service (process " + std::to_string(serviceProcess)
                 + "), which serves the ports: this window is a front end of it, and ending the window leaves them "
                   "served; mv5840vspctl reaches the same ports");
    SignalExit signalExit;
    return RunWindow(window);
}

// The ports for a service manager: no window, no tray icon; events on standard error;
// SIGHUP reads the configuration again, SIGTERM and SIGINT end the run.
int RunService(ComServer& server, PortService& service)
{
    Log::SetVerbose(true);
    ServiceManagerLink manager(service);
    SignalExit signalExit([&service, &manager] {
        Log::Info("SIGHUP: reading the configuration file again");
        manager.Reloading();
        service.Reload();
        manager.Ready();
    });
    service.StartNetwork();
    service.StartPorts();
    ServiceSelection selection(service);
    server.SetTarget(&selection);
    ReportServing(service, server.Serving());
    // Each port is served or has its reason by now.
    manager.Ready();
    const int status = QCoreApplication::exec();
    manager.Stopping();
    server.SetTarget(nullptr);
    service.Shutdown();
    Log::Info("ports closed, ending");
    return status;
}

}  // namespace

int PortManagerApp::Run(const QStringList& arguments)
{
    ComServer server(arguments);
    const RunSwitches switches = ParseRunSwitches(arguments);
    // A run for automation clients alone has no ports.
    std::unique_ptr<PortService> service;
    if (!switches.windowless)
        service = std::make_unique<PortService>();
    server.SetPortService(service.get());
    if (!server.InitializeServer()) {
        // A registration run, or another instance serves the user: a service's ports are
        // shown in a window of their own.
        if (server.OtherRunsWithoutWindow() != 0 && !switches.service && !switches.windowless) {
            service.reset();
            return RunFrontEnd(server.OtherRunsWithoutWindow());
        }
        return server.ExitCode();
    }

    // Before any link is made: a second instance would re-point the first one's links.
    PortDirectoryLock portLock(VirtualSerialPort::PortDirectory(), PortDirectoryLock::FallbackDirectories());
    if (!server.Windowless() && !TakePortDirectory(portLock, !switches.service)) {
        server.TerminateServer();
        return ComServer::AlreadyRunningStatus;
    }

    int status = 0;
    if (server.Windowless()) {
        // Serves automation clients only: no window, no ports; ends with the last client.
        SignalExit signalExit;
        status = QCoreApplication::exec();
    } else if (switches.service) {
        status = RunService(server, *service);
    } else {
        SignalExit signalExit;
        LocalPortSource source(*service);
        PortManagerDialog window(source);
        server.SetTarget(&window);
        // A run started with "dde" ends when its last automation client is done, unless the
        // window is busy with a dialog of its own. Queued: this runs inside a bus call.
        server.SetEndOfRun([&window] {
            if (!QApplication::activeModalWidget())
                QMetaObject::invokeMethod(&window, &QDialog::accept, Qt::QueuedConnection);
        });
        // Nobody sees a window on the offscreen platform: a run that serves nothing says how
        // to add a port, where errors and warnings are all a window's run prints.
        if (QGuiApplication::platformName() == QLatin1String("offscreen"))
            GuideFirstRun(*service, server.Serving(), true, Log::Priority::Warning);
        status = RunWindow(window);
        server.SetTarget(nullptr);
    }
    server.TerminateServer();
    return status;
}
