#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include "com/AppLock.h"
#include "com/CommandLine.h"
#include "com/PortSelectionTarget.h"

class AutomationObject;
class PortManager;
class PortService;

// The automation server of one process: the registration switches, the service on the
// session bus and the lock count that ends a run started for a client.
//
//   ComServer server(arguments);              // the arguments as the program got them
//   if (!server.InitializeServer())
//       return server.ExitCode();             // registration run, or another instance runs
//   if (server.Windowless())
//       rc = app.exec();                      // ends when the last client is done
//   else { server.SetTarget(&window); ...; server.SetTarget(nullptr); }
//   server.TerminateServer();
class ComServer {
public:
    // arguments: program path first. The bus connection defaults to the session bus.
    explicit ComServer(QStringList arguments, QDBusConnection connection = QDBusConnection::sessionBus());
    ~ComServer();
    ComServer(const ComServer&) = delete;
    ComServer& operator=(const ComServer&) = delete;

    // Runs a registration switch, or publishes the service. False: the program ends now with
    // ExitCode(), without a window. Needs a QCoreApplication unless it is a registration run.
    bool InitializeServer();
    // Withdraws the service. Does nothing unless the server is initialised.
    void TerminateServer();

    int ExitCode() const { return exitCode_; }
    // The process id of the instance that serves the ports without a window (a service), when
    // that ended this start: the window is then to be its front end. 0 otherwise.
    uint OtherRunsWithoutWindow() const { return otherWithoutWindow_; }
    // The status of a start that ends because another instance already serves the user:
    // one a service manager can tell from a failure and must not restart on
    // (RestartPreventExitStatus= in the unit).
    static constexpr int AlreadyRunningStatus = 150;
    bool ServerInitialised() const { return serverInitialised_; }
    // "Embedding" or "Automation" was given: no main window, no ports.
    bool Windowless() const { return switches_.windowless; }
    // The service is reachable on the bus.
    bool Serving() const { return object_ != nullptr; }

    // The ports the manager interface serves; before InitializeServer. A run without ports
    // (nullptr) offers no manager.
    void SetPortService(PortService* service) { portService_ = service; }

    // The main window, or nullptr while there is none.
    void SetTarget(PortSelectionTarget* target);
    // What ends the run when the last lock goes in a run the user did not start; by default
    // the event loop quits. A run with a main window passes a handler that closes the window
    // when it is enabled. It runs inside a bus call: it must not destroy this server at once
    // (queue anything that does).
    void SetEndOfRun(std::function<void()> handler) { lock_.SetEndOfRun(std::move(handler)); }

    const AppLock& Lock() const { return lock_; }
    const AutomationObject* Object() const { return object_.get(); }

private:
    bool RunRegistration(RegistrationSwitch which);
    bool Publish();
    void AskRunningInstanceToShow();
    void OnOwnerChanged(const QString& newOwner);

    QStringList arguments_;
    QDBusConnection connection_;
    RunSwitches switches_;
    AppLock lock_;
    PortService* portService_ = nullptr;
    std::unique_ptr<PortManager> manager_;
    std::unique_ptr<AutomationObject> object_;
    std::unique_ptr<QDBusServiceWatcher> nameWatcher_;
    PortSelectionTarget* target_ = nullptr;
    bool serverInitialised_ = false;
    int exitCode_ = 0;
    uint otherWithoutWindow_ = 0;
};
