// mv5840vspctl: manages the ports of a running MV5840VSP over the session bus.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QIODevice>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

#include "cli/CtlCommand.h"
#include "cli/CtlRunner.h"
#include "cli/PortManagerClient.h"

namespace {

int RunCommand(const QStringList& arguments)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    const CtlParse parse = ParseCtlArguments(arguments);
    // The usage and the version need no bus: nothing is connected for them.
    const bool needsBus = parse.ok && parse.command.verb != CtlVerb::Help && parse.command.verb != CtlVerb::Version;
    PortManagerClient client(needsBus ? QDBusConnection::sessionBus() : QDBusConnection(QString()));
    CtlRunner runner(client, out, err);
    if (!parse.ok)
        return runner.Fail(parse.error, CtlExit::Usage);
    const int status = runner.Run(parse.command, isatty(STDOUT_FILENO) == 1);
    // Output that did not reach its file (a full disk, a closed pipe) is a failed run: a
    // statistics file cut short must not look written.
    out.flush();
    if (out.status() == QTextStream::WriteFailed && status == CtlExit::Done)
        return runner.Fail(QLatin1String("cannot write the output: ") + out.device()->errorString(), CtlExit::Failed);
    return status;
}

}  // namespace

int main(int argc, char** argv)
{
    int status = CtlExit::Failed;
    {
        QCoreApplication app(argc, argv);
        status = RunCommand(app.arguments().mid(1));
    }
    // Ends without the static destructors: Qt's bus thread may still be handling the bus's
    // greeting (NameAcquired) while Qt's type registry is torn down, and then prints a stray
    // warning after the tool's one line. Nothing is left to clean up; output is flushed.
    std::fflush(nullptr);
    _exit(status);
}
