#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

#include "Version.h"

#include "app/PortManagerApp.h"
#include "app/SignalExit.h"
#include "com/CommandLine.h"
#include "net/Log.h"
#include "res/AppIcon.h"
#include "ui/UiFont.h"

namespace {
// Each port holds a few descriptors (pseudo-terminal, events, TCP socket); 200 ports come
// close to the usual soft limit of 1024.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Qt's own warnings and errors go through the program's reporting place with their priority,
// so that the journal ranks them too; debug lines someone turned on stay Qt's. The offscreen
// platform says at every start that it cannot pass size hints to a window manager it does not
// have, and each time a second start asks for the window, that it cannot raise it; that is
// how it works, not something the user must know.
QtMessageHandler qtDefaultHandler = nullptr;
void PassQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text == QLatin1String("This plugin does not support propagateSizeHints()")
        || text == QLatin1String("This plugin does not support raise()"))
        return;
    if (type != QtWarningMsg && type != QtCriticalMsg) {
        qtDefaultHandler(type, context, text);  // a fatal one also ends the program
        return;
    }
    const bool ownCategory = !context.category || qstrcmp(context.category, "default") == 0;
    const std::string line =
        (ownCategory ? text : QLatin1String(context.category) + QLatin1String(": ") + text).toStdString();
    Log::Report(type == QtWarningMsg ? Log::Priority::Warning : Log::Priority::Error, line);
}

// Said once: a switch the program does not know changes nothing, but its user should know.
// Qt's own options (-platform, -style …) are gone from the application's arguments by now.
void ReportIgnoredSwitches()
{
    const QStringList ignored = ParseRunSwitches(QCoreApplication::arguments()).ignored;
    if (!ignored.isEmpty())
        Log::Warning("ignoring unknown switch" + std::string(ignored.size() > 1 ? "es " : " ")
                     + ignored.join(QLatin1Char(' ')).toStdString() + " (see MV5840VSP --help)");
}
}  // namespace

// Before anything else, even the libraries' own start-up (Qt's take milliseconds): a service
// manager's SIGHUP or SIGTERM that comes while the program starts waits until the run can act
// on it, instead of ending the process.
[[gnu::used, gnu::section(".preinit_array")]] void (*const holdSignalsAtStart)() = &SignalExit::Hold;

int main(int argc, char* argv[])
{
    // The switches are read from the command line as given, before Qt takes its own options.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    const RunSwitches switches = ParseRunSwitches(arguments);
    if (switches.help || switches.version) {
        const QString text = switches.help ? ProgramUsage() : QStringLiteral("MV5840VSP " MV5840VSP_VERSION "\n");
        std::fputs(text.toLocal8Bit().constData(), stdout);
        // Lost to a full disk or a closed pipe, the answer was not given.
        if (std::fflush(stdout) != 0) {
            Log::Error("cannot write to standard output: " + Log::SystemReason(errno));
            return 1;
        }
        return 0;
    }
    RaiseDescriptorLimit();
    qtDefaultHandler = qInstallMessageHandler(PassQtMessage);

    if (switches.service) {
        // No window and no display: nothing of the GUI is loaded.
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("MV5840VSP"));
        ReportIgnoredSwitches();
        PortManagerApp theApp;
        return theApp.Run(arguments);
    }

    // Without a display the ports still serve: run on Qt's offscreen platform. A platform the
    // user names (QT_QPA_PLATFORM, Qt's -platform switch) is theirs to choose.
    const bool platformNamed = std::getenv("QT_QPA_PLATFORM") || arguments.contains(QLatin1String("-platform"))
                               || arguments.contains(QLatin1String("--platform"));
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !platformNamed) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        Log::Warning("no display found, running without a visible window (offscreen)");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("MV5840VSP"));
    // Qt's own texts (message box buttons, an edit field's menu) in the window's language.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTexts);
    QApplication::setWindowIcon(AppIcon());
    QApplication::setFont(DialogFont());
    // Closing a dialog must not end the program; only the main window's run does.
    QApplication::setQuitOnLastWindowClosed(false);
    ReportIgnoredSwitches();

    PortManagerApp theApp;
    return theApp.Run(arguments);
}
