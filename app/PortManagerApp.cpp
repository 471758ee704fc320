#include "app/PortManagerApp.h"

#include <QApplication>

#include "app/SignalExit.h"
#include "com/ComServer.h"
#include "service/PortService.h"
#include "ui/PortManagerDialog.h"

int PortManagerApp::Run(const QStringList& arguments)
{
    ComServer server(arguments);
    if (!server.InitializeServer())
        return server.ExitCode();  // a registration run, or another instance serves the user

    SignalExit signalExit;
    PortService service;
    int status = 0;
    if (server.Windowless()) {
        // Serves automation clients only: no window, no ports; ends with the last client.
        status = QApplication::exec();
    } else {
        PortManagerDialog window(service);
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
