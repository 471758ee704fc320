#include "com/CommandLine.h"

QString CommandLineText(const QStringList& arguments)
{
    return arguments.join(QLatin1Char(' '));
}

RegistrationSwitch FindRegistrationSwitch(const QString& commandLine)
{
    for (qsizetype i = 0; i < commandLine.size(); ++i) {
        const QChar c = commandLine.at(i);
        if (c != QLatin1Char('-') && c != QLatin1Char('/'))
            continue;
        const QStringView rest = QStringView(commandLine).mid(i + 1);
        if (rest.compare(QLatin1String("UnregServer"), Qt::CaseInsensitive) == 0)
            return RegistrationSwitch::Unregister;
        if (rest.compare(QLatin1String("RegServer"), Qt::CaseInsensitive) == 0)
            return RegistrationSwitch::Register;
    }
    return RegistrationSwitch::None;
}

RunSwitches ParseRunSwitches(const QStringList& arguments)
{
    RunSwitches result;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (argument.isEmpty() || (argument.front() != QLatin1Char('-') && argument.front() != QLatin1Char('/')))
            continue;
        if (argument == QLatin1String("--service")) {
            result.service = true;
            continue;
        }
        const QStringView name = QStringView(argument).mid(1);
        if (name.compare(QLatin1String("Embedding"), Qt::CaseInsensitive) == 0
            || name.compare(QLatin1String("Automation"), Qt::CaseInsensitive) == 0) {
            result.windowless = true;
            result.userControl = false;
        } else if (name == QLatin1String("dde")) {
            // Started by the shell's DDE conversation, not by the user; the window still runs.
            result.userControl = false;
        }
        // "Unregister", "Unregserver", "pt" and "p" change nothing here.
    }
    return result;
}
