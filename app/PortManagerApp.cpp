#include "app/PortManagerApp.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

#include "app/SignalExit.h"
#include "com/ComServer.h"
#include "net/Log.h"
#include "ui/PortManagerDialog.h"
#include "vport/PortDirectoryLock.h"
#include "vport/VirtualSerialPort.h"

namespace {

// False when another instance serves the port directory: said in one line and, when a window
// can be shown, in a message box.
bool TakePortDirectory(PortDirectoryLock& lock)
{
    switch (lock.Take()) {
    case PortDirectoryLock::Result::Taken:
        return true;
    case PortDirectoryLock::Result::Failed:
        // Each port then says why it is not served.
        Log::Failure(lock.Failure() + "; no second start of the program can be kept out");
        return true;
    case PortDirectoryLock::Result::HeldByOther:
        break;
    }
    const QString holder = lock.Holder() > 0 ? QString::number(lock.Holder()) : QStringLiteral("?");
    Log::Failure("another instance (process " + holder.toStdString() + ") already serves the port directory "
                 + lock.Directory() + "; ending");
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        QMessageBox::warning(nullptr, QStringLiteral("MV5840VSP"),
                             QStringLiteral("另一个 MV5840VSP（进程 %1）正在提供 %2 中的虚拟串口，本次启动将结束。")
                                 .arg(holder, QString::fromStdString(lock.Directory())));
    }
    return false;
}

}  // namespace

int PortManagerApp::Run(const QStringList& arguments)
{
    ComServer server(arguments);
    if (!server.InitializeServer())
        return server.ExitCode();  // a registration run, or another instance serves the user

    // Before any link is made: a second instance would re-point the first one's links.
    PortDirectoryLock portLock(VirtualSerialPort::PortDirectory());
    if (!server.Windowless() && !TakePortDirectory(portLock)) {
        server.TerminateServer();
        return 1;
    }

    SignalExit signalExit;
    int status = 0;
    if (server.Windowless()) {
        // Serves automation clients only: no window, no ports; ends with the last client.
        status = QApplication::exec();
    } else {
        PortManagerDialog window;
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
