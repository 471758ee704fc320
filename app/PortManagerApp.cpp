#include "app/PortManagerApp.h"

#include <QApplication>
#include <memory>

#include "app/SignalExit.h"
#include "com/ComServer.h"
#include "com/PortSelectionTarget.h"
#include "net/Log.h"
#include "service/PortService.h"
#include "ui/PortManagerDialog.h"
#include "vport/VirtualSerialPort.h"

namespace {

// The automation interface's shared-port selection in a run without a window.
class ServiceSelection : public PortSelectionTarget {
public:
    explicit ServiceSelection(PortService& service) : service(service) {}
    bool SelectSharedTarget(const std::string& code) override { return service.SelectSharedTarget(code); }
    std::string GetSharedTargetCode() const override { return service.GetSharedTargetCode(); }
    void ShowWindow() override {}  // there is none

private:
    PortService& service;
};

// The ports for a service manager: no window, no tray icon; events on standard error;
// SIGHUP reads the configuration again, SIGTERM and SIGINT end the run.
int RunService(ComServer& server, PortService& service)
{
    Log::SetEventsShown(true);
    SignalExit signalExit([&service] {
        Log::Event("SIGHUP: reading the configuration file again");
        service.Reload();
    });
    service.StartNetwork();
    service.StartPorts();
    ServiceSelection selection(service);
    server.SetTarget(&selection);
    Log::Event("serving " + std::to_string(service.Snapshot().size()) + " ports; port links in "
               + VirtualSerialPort::PortDirectory());
    const int status = QCoreApplication::exec();
    server.SetTarget(nullptr);
    service.Shutdown();
    Log::Event("ports closed, ending");
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
    if (!server.InitializeServer())
        return server.ExitCode();  // a registration run, or another instance serves the user

    int status = 0;
    if (server.Windowless()) {
        // Serves automation clients only: no window, no ports; ends with the last client.
        SignalExit signalExit;
        status = QCoreApplication::exec();
    } else if (switches.service) {
        status = RunService(server, *service);
    } else {
        SignalExit signalExit;
        PortManagerDialog window(*service);
        server.SetTarget(&window);
        // A run started with "dde" ends when its last automation client is done, unless the
        // window is busy with a dialog of its own. Queued: this runs inside a bus call.
        server.SetEndOfRun([&window] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal || modal == &window)
                QMetaObject::invokeMethod(&window, &QDialog::accept, Qt::QueuedConnection);
        });
        window.exec();
        server.SetTarget(nullptr);
    }
    server.TerminateServer();
    return status;
}
