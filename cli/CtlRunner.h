#pragma once

#include <QTextStream>

#include "cli/CtlCommand.h"
#include "cli/PortManagerClient.h"

// Exit statuses of mv5840vspctl.
namespace CtlExit {
constexpr int Done = 0;
constexpr int Failed = 1;      // refused by the program, or no answer
constexpr int Usage = 2;       // wrong arguments, also a value the program finds malformed or out of range
constexpr int NotRunning = 3;  // no instance, or no session bus
}  // namespace CtlExit

// Carries out one command against the running program: the request, then the output on
// out, or one line on err that says what went wrong.
class CtlRunner {
public:
    CtlRunner(PortManagerClient& client, QTextStream& out, QTextStream& err);
    // stdoutTerminal: the watch view redraws in place.
    int Run(const CtlCommand& command, bool stdoutTerminal);

    // "mv5840vspctl: <text>" on err; returns status.
    int Fail(const QString& text, int status);

private:
    int Report(const BusReply& reply);
    // A refused add or edit, said with what the tool knows of the request.
    int ReportChange(const CtlCommand& command, BusReply reply);
    int PrintPort(const CtlCommand& command, const BusReply& reply, const QVariantMap& port);
    int RemovePort(const CtlCommand& command);
    // Takes the answer's age out of the ports (they are shown as before) and, when the program
    // answered from statuses its data path published a while ago, says so on standard error.
    void NoteAge(QList<QVariantMap>& ports);
    int PrintStatistics(bool prometheus);

    PortManagerClient& client_;
    QTextStream& out_;
    QTextStream& err_;
};
