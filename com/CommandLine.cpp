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
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            result.help = true;
            continue;
        }
        if (argument == QLatin1String("--version") || argument == QLatin1String("-V")) {
            result.version = true;
            continue;
        }
        const QStringView name = QStringView(argument).mid(1);
        auto is = [&name](const char* known) { return name.compare(QLatin1String(known), Qt::CaseInsensitive) == 0; };
        if (is("Embedding") || is("Automation")) {
            result.windowless = true;
            result.userControl = false;
        } else if (name == QLatin1String("dde")) {
            // Started by the shell's DDE conversation, not by the user; the window still runs.
            result.userControl = false;
        } else if (!is("Unregister") && !is("Unregserver") && !is("RegServer") && name != QLatin1String("pt")
                   && name != QLatin1String("p")) {
            // "Unregister", "Unregserver", "pt" and "p" change nothing here; the registration
            // switches were read in the first pass.
            result.ignored << argument;
        }
    }
    return result;
}

QString ProgramUsage()
{
    return QStringLiteral("Usage: MV5840VSP [--service | -Embedding | -Automation | -RegServer | -UnregServer]\n"
                          "Virtual serial ports COM<n> for remote data terminal units (DTUs): bytes move both\n"
                          "ways between each port and its DTU, over UDP (DTUs log in to port 3700) or TCP.\n"
                          "\n"
                          "  (no switch)    the window with the port list and a tray icon; the ports are served\n"
                          "  --service      the ports without a window, for a service manager (systemd);\n"
                          "                 SIGHUP reads the configuration file again, SIGTERM ends the run\n"
                          "  -Embedding, -Automation\n"
                          "                 only the automation interface on the session bus, no ports; ends\n"
                          "                 when its last client is done\n"
                          "  -RegServer     register with the desktop (bus activation, menu entry) and end;\n"
                          "                 counts only as the last thing on the line\n"
                          "  -UnregServer   remove that registration and end\n"
                          "  -h, --help     print this text and end\n"
                          "  -V, --version  print the version and end\n"
                          "\n"
                          "Ports are configured in ~/.config/Torvane/HOLBRN.conf and appear as links in\n"
                          "$XDG_RUNTIME_DIR/MV5840VSP/. mv5840vspctl(1) adds, changes and lists them while the\n"
                          "program runs. Other switches are ignored (the program says so and starts).\n");
}
