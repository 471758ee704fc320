#include "com/ComServer.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>
#include <QFileInfo>

#include "com/AutomationObject.h"
#include "com/FrontEnd.h"
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

// How another instance runs, as its command line says: "as a service" or "with its window".
std::string HowItRuns(uint process)
{
    QFile file(QStringLiteral("/proc/%1/cmdline").arg(process));
    if (process == 0 || !file.open(QIODevice::ReadOnly))
        return "";
    const QList<QByteArray> arguments = file.readAll().split('\0');
    return arguments.contains("--service") ? " as a service" : " with its window";
}

}  // namespace

ComServer::ComServer(QStringList arguments, QDBusConnection connection)
    : arguments_(std::move(arguments)), connection_(std::move(connection))
{
}

ComServer::~ComServer()
{
    TerminateServer();
}

bool ComServer::InitializeServer()
{
    serverInitialised_ = true;
    exitCode_ = 0;
    const RegistrationSwitch registration = FindRegistrationSwitch(CommandLineText(arguments_));
    if (registration != RegistrationSwitch::None) {
        serverInitialised_ = false;
        exitCode_ = RunRegistration(registration) ? 0 : 1;
        return false;
    }
    switches_ = ParseRunSwitches(arguments_);
    lock_.SetUserControl(switches_.userControl);
    if (!Publish()) {
        serverInitialised_ = false;
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
    if (!connection_.isConnected()) {
        if (switches_.windowless) {
            Log::Error("no D-Bus session bus; a run without a window has no one to serve, ending");
            exitCode_ = 1;
            return false;
        }
        Log::Warning("no D-Bus session bus; running without the automation interface");
        return true;
    }

    // A window already shows the ports of a service of this user's: it is the user's window.
    if (!switches_.service && !switches_.windowless && FrontEnd::AskToShow(connection_)) {
        Log::Notice("already running: a window shows the ports of the running instance; asked it to come forward");
        return false;
    }

    object_ = std::make_unique<AutomationObject>(lock_, connection_);
    object_->SetTarget(target_);
    if (portService_) {
        manager_ = std::make_unique<PortManager>(*portService_);
        object_->SetPortManager(manager_.get());
    }
    if (!connection_.registerObject(QLatin1String(Registration::ObjectPath), object_.get(),
                                    QDBusConnection::ExportAdaptors)) {
        object_.reset();
        Log::Warning("cannot publish the automation object; running without the automation interface");
        return !switches_.windowless;
    }

    // A run without a window gives the name up to a user's start, which has the ports; a
    // user's start keeps it.
    const QString name = QLatin1String(Registration::ServiceName);
    const auto reply = connection_.interface()->registerService(name,
                                                                switches_.windowless
                                                                    ? QDBusConnectionInterface::DontQueueService
                                                                    : QDBusConnectionInterface::ReplaceExistingService,
                                                                switches_.windowless
                                                                    ? QDBusConnectionInterface::AllowReplacement
                                                                    : QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        if (switches_.windowless) {
            nameWatcher_ = std::make_unique<QDBusServiceWatcher>(name, connection_,
                                                                 QDBusServiceWatcher::WatchForOwnerChange);
            QObject::connect(nameWatcher_.get(), &QDBusServiceWatcher::serviceOwnerChanged, object_.get(),
                             [this](const QString&, const QString&, const QString& newOwner) {
                                 OnOwnerChanged(newOwner);
                             });
        }
        return true;
    }

    connection_.unregisterObject(QLatin1String(Registration::ObjectPath));
    object_.reset();
    if (!reply.isValid()) {
        Log::Warning("cannot take the bus name; running without the automation interface");
        return !switches_.windowless;
    }
    if (switches_.windowless) {
        Log::Error("another instance already serves the automation interface; ending");
        return false;
    }
    if (switches_.service) {
        // A service manager must see that this start serves nothing; the user, where the
        // ports are served instead and how to reach them.
        const uint other = connection_.interface()->servicePid(name).value();
        Log::Error("MV5840VSP already runs" + HowItRuns(other) + " (process " + std::to_string(other)
                   + ") and serves the ports on this session bus: manage them there or with mv5840vspctl, or end it "
                     "before starting the service; ending");
        exitCode_ = AlreadyRunningStatus;
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
    const QDBusMessage reply = connection_.call(call, QDBus::BlockWithGui, ShowTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        Log::Notice("already running; asked the running instance to show its window");
        return;
    }
    exitCode_ = 1;
    if (reply.errorName() != QLatin1String(AutomationObject::NoWindowError)) {
        Log::Error("already running, but the running instance did not answer");
        return;
    }
    // A service of this user serves the ports; a second window of its own would fight it for
    // them, so this start shows them as a front end of that service instead.
    otherWithoutWindow_ = connection_.interface()->servicePid(name).value();
}

void ComServer::OnOwnerChanged(const QString& newOwner)
{
    if (newOwner == connection_.baseService())
        return;
    // A user's start took the name over. This run still serves the clients it has, through
    // its unique name, and ends with the last of them.
    nameWatcher_.reset();
    lock_.EndWhenIdle();
}

void ComServer::SetTarget(PortSelectionTarget* newTarget)
{
    target_ = newTarget;
    if (object_)
        object_->SetTarget(newTarget);
}

void ComServer::TerminateServer()
{
    if (!serverInitialised_)
        return;
    serverInitialised_ = false;
    nameWatcher_.reset();
    if (object_) {
        connection_.unregisterObject(QLatin1String(Registration::ObjectPath));
        connection_.interface()->unregisterService(QLatin1String(Registration::ServiceName));
        object_.reset();
    }
    manager_.reset();
}
