#pragma once

#include <QString>
#include <QStringList>

// The two independent readings of the command line.

// Pass 1: a registration switch counts only as the very last thing on the line.
enum class RegistrationSwitch { None, Register, Unregister };

// The command line as one text: the arguments, program path first, joined by single blanks.
QString CommandLineText(const QStringList& arguments);

// Scans for each "-" or "/" and compares everything after it, to the end of the line and
// ignoring letter case, with "UnregServer" and then "RegServer".
RegistrationSwitch FindRegistrationSwitch(const QString& commandLine);

// Pass 2: each argument after the program name by itself.
struct RunSwitches {
    bool windowless = false;  // "Embedding" or "Automation": no main window, no ports
    bool userControl = true;  // false when something other than the user started the program
    bool service = false;     // "--service": the ports without a window, for a service manager
    bool help = false;        // "--help" or "-h": the usage, nothing started
    bool version = false;     // "--version" or "-V": the version, nothing started
    QStringList ignored;      // switches that mean nothing here, as given
};

RunSwitches ParseRunSwitches(const QStringList& arguments);

// The usage text of the program (English, for a terminal).
QString ProgramUsage();
