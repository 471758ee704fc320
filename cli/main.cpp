// mv5840vspctl: manages the ports of a running MV5840VSP over the session bus.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

#include "cli/CtlCommand.h"
#include "cli/CtlRunner.h"
#include "cli/PortManagerClient.h"

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    const CtlParse parse = ParseCtlArguments(app.arguments().mid(1));
    PortManagerClient client(QDBusConnection::sessionBus());
    CtlRunner runner(client, out, err);
    if (!parse.ok)
        return runner.Fail(parse.error, CtlExit::Usage);
    return runner.Run(parse.command, isatty(STDOUT_FILENO) == 1);
}
