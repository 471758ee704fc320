#include "com/ComServer.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>

#include "com/AutomationObject.h"
#include "com/PortManager.h"
#include "com/Registration.h"
#include "net/Log.h"

namespace {

const char InterfaceApplication[] = "MV5840VSP.IApplication";
constexpr int ShowTimeoutMs = 10000;

// The absolute path of this program, also before the application object exists.
QString ExecutablePath()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

} // namespace

ComServer::ComServer(QStringList arguments, QDBusConnection connection)
    : arguments(std::move(arguments)), connection(std::move(connection))
{
}

ComServer::~ComServer()
{
    TerminateServer();
}

bool ComServer::InitializeServer()
{
    serverInitialised = true;
    exitCode = 0;
    const RegistrationSwitch registration = FindRegistrationSwitch(CommandLineText(arguments));
    if (registration != RegistrationSwitch::None) {
        serverInitialised = false;
        exitCode = RunRegistration(registration) ? 0 : 1;
        return false;
    }
    switches = ParseRunSwitches(arguments);
    lock.SetUserControl(switches.userControl);
    if (!Publish()) {
        serverInitialised = false;
        return false;
    }
    return true;
}

bool ComServer::RunRegistration(RegistrationSwitch which)
{
    Registration registration(Registration::DefaultDataHome(), ExecutablePath());
    const bool ok = which == RegistrationSwitch::Register ? registration.RegisterSelf() : registration.UnregisterSelf();
    if (!ok)
        Log::Error(which == RegistrationSwitch::Register ? "registration failed" : "unregistration failed");
    return ok;
}

bool ComServer::Publish()
{
    if (!connection.isConnected()) {
        if (switches.windowless) {
            Log::Error("no D-Bus session bus; a run without a window has no one to serve, ending");
            exitCode = 1;
            return false;
        }
        Log::Warning("no D-Bus session bus; running without the automation interface");
        return true;
    }

    object = std::make_unique<AutomationObject>(lock, connection);
    object->SetTarget(target);
    if (portService) {
        manager = std::make_unique<PortManager>(*portService);
        object->SetPortManager(manager.get());
    }
    if (!connection.registerObject(QLatin1String(Registration::ObjectPath), object.get(),
                                   QDBusConnection::ExportAdaptors)) {
        object.reset();
        Log::Warning("cannot publish the automation object; running without the automation interface");
        return !switches.windowless;
    }

    // A run without a window gives the name up to a user's start, which has the ports; a
    // user's start keeps it.
    const QString name = QLatin1String(Registration::ServiceName);
    const auto reply = connection.interface()->registerService(
        name,
        switches.windowless ? QDBusConnectionInterface::DontQueueService : QDBusConnectionInterface::ReplaceExistingService,
        switches.windowless ? QDBusConnectionInterface::AllowReplacement : QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        if (switches.windowless) {
            nameWatcher = std::make_unique<QDBusServiceWatcher>(name, connection, QDBusServiceWatcher::WatchForOwnerChange);
            QObject::connect(nameWatcher.get(), &QDBusServiceWatcher::serviceOwnerChanged, object.get(),
                             [this](const QString&, const QString&, const QString& newOwner) { OnOwnerChanged(newOwner); });
        }
        return true;
    }

    connection.unregisterObject(QLatin1String(Registration::ObjectPath));
    object.reset();
    if (!reply.isValid()) {
        Log::Warning("cannot take the bus name; running without the automation interface");
        return !switches.windowless;
    }
    if (switches.windowless) {
        Log::Error("another instance already serves the automation interface; ending");
        return false;
    }
    if (switches.service) {
        // A service manager must see that this start serves nothing.
        Log::Error("another instance already serves the ports on this session bus; ending");
        exitCode = AlreadyRunningStatus;
    } else {
        AskRunningInstanceToShow();
    }
    return false;
}

void ComServer::AskRunningInstanceToShow()
{
    const QString name = QLatin1String(Registration::ServiceName);
    QDBusMessage call = QDBusMessage::createMethodCall(name, QLatin1String(Registration::ObjectPath),
                                                       QLatin1String(InterfaceApplication), QStringLiteral("Show"));
    const QDBusMessage reply = connection.call(call, QDBus::BlockWithGui, ShowTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        Log::Notice("already running; asked the running instance to show its window");
        return;
    }
    exitCode = 1;
    if (reply.errorName() != QLatin1String(AutomationObject::NoWindowError)) {
        Log::Error("already running, but the running instance did not answer");
        return;
    }
    // A service of this user serves the ports; a second window of its own would fight it for
    // them, so this start ends and says how to reach the ports that run.
    otherWithoutWindow = connection.interface()->servicePid(name).value();
    Log::Error("MV5840VSP already runs as a service without a window (process " + std::to_string(otherWithoutWindow)
               + "); manage its ports with mv5840vspctl (mv5840vspctl list), or stop it "
                 "(systemctl --user stop mv5840vsp, or end that process) and start the window again");
}

void ComServer::OnOwnerChanged(const QString& newOwner)
{
    if (newOwner == connection.baseService())
        return;
    // A user's start took the name over. This run still serves the clients it has, through
    // its unique name, and ends with the last of them.
    nameWatcher.reset();
    lock.EndWhenIdle();
}

void ComServer::SetTarget(PortSelectionTarget* newTarget)
{
    target = newTarget;
    if (object)
        object->SetTarget(newTarget);
}

void ComServer::TerminateServer()
{
    if (!serverInitialised)
        return;
    serverInitialised = false;
    nameWatcher.reset();
    if (object) {
        connection.unregisterObject(QLatin1String(Registration::ObjectPath));
        connection.interface()->unregisterService(QLatin1String(Registration::ServiceName));
        object.reset();
    }
    manager.reset();
}
