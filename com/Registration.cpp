#include "com/Registration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace {

bool HasControlCharacter(const QString& text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7F; });
}

bool IsPlainPathCharacter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
           || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || QStringLiteral("/._+-,@").contains(c);
}

bool NeedsQuoting(const QString& path)
{
    return !std::all_of(path.begin(), path.end(), IsPlainPathCharacter);
}

// D-Bus splits Exec the way a shell does: single quotes, an apostrophe as '\''.
QString ServiceExecPath(const QString& path)
{
    if (!NeedsQuoting(path))
        return path;
    QString quoted = path;
    quoted.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// Desktop entries quote with double quotes and backslashes, escape the backslashes once more
// as a string value, and reserve "%" for field codes.
QString DesktopExecPath(const QString& path)
{
    QString result = path;
    if (NeedsQuoting(path)) {
        QString inner;
        for (QChar c : path) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
                inner += QLatin1Char('\\');
            inner += c;
        }
        result = QLatin1Char('"') + inner + QLatin1Char('"');
    }
    result.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    result.replace(QLatin1String("%"), QLatin1String("%%"));
    return result;
}

// The same templates are installed by the build, with the installed program's path.
QString FromTemplate(const QString& name, const QString& exec)
{
    QFile file(QLatin1String(":/mv/com/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll()).replace(QLatin1String("@MV_EXEC@"), exec);
}

bool WriteWhole(const QString& fileName, const QByteArray& content)
{
    if (content.isEmpty() || !QDir().mkpath(QFileInfo(fileName).absolutePath()))
        return false;
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(content);
    return file.commit();
}

bool RemoveIfPresent(const QString& fileName)
{
    QFileInfo info(fileName);
    if (!info.exists() && !info.isSymLink())
        return true;
    return QFile::remove(fileName);
}

}  // namespace

Registration::Registration(QString dataHome, QString executablePath)
    : dataHome_(std::move(dataHome)), executablePath_(std::move(executablePath))
{
}

QString Registration::DefaultDataHome()
{
    const QString fromEnvironment = qEnvironmentVariable("XDG_DATA_HOME");
    if (!fromEnvironment.isEmpty() && QDir::isAbsolutePath(fromEnvironment))
        return fromEnvironment;
    return QDir::homePath() + QLatin1String("/.local/share");
}

QString Registration::ServiceFile() const
{
    return dataHome_ + QLatin1String("/dbus-1/services/") + QLatin1String(ServiceName) + QLatin1String(".service");
}

QString Registration::InterfaceFile() const
{
    return dataHome_ + QLatin1String("/dbus-1/interfaces/") + QLatin1String(ServiceName) + QLatin1String(".xml");
}

QString Registration::ManagerInterfaceFile() const
{
    return dataHome_ + QLatin1String("/dbus-1/interfaces/") + QLatin1String(ManagerInterfaceName)
           + QLatin1String(".xml");
}

QString Registration::DesktopFile() const
{
    return dataHome_ + QLatin1String("/applications/MV5840VSP.desktop");
}

QString Registration::ServiceFileText() const
{
    if (HasControlCharacter(executablePath_) || !QDir::isAbsolutePath(executablePath_))
        return QString();
    return FromTemplate(QStringLiteral("MV5840VSP.IMV5840VSP.service.in"), ServiceExecPath(executablePath_));
}

QString Registration::DesktopFileText() const
{
    if (HasControlCharacter(executablePath_) || !QDir::isAbsolutePath(executablePath_))
        return QString();
    return FromTemplate(QStringLiteral("MV5840VSP.desktop.in"), DesktopExecPath(executablePath_));
}

QByteArray Registration::InterfaceDescription()
{
    return Description(QLatin1String(ServiceName));
}

QByteArray Registration::ManagerInterfaceDescription()
{
    return Description(QLatin1String(ManagerInterfaceName));
}

QByteArray Registration::Description(const QString& name)
{
    QFile file(QStringLiteral(":/mv/com/") + name + QStringLiteral(".xml"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool Registration::RegisterSelf() const
{
    // The activation file first: without it the other two are of no use to a client.
    return WriteWhole(ServiceFile(), ServiceFileText().toUtf8()) && WriteWhole(InterfaceFile(), InterfaceDescription())
           && WriteWhole(ManagerInterfaceFile(), ManagerInterfaceDescription())
           && WriteWhole(DesktopFile(), DesktopFileText().toUtf8());
}

bool Registration::UnregisterSelf() const
{
    const bool service = RemoveIfPresent(ServiceFile());
    const bool description = RemoveIfPresent(InterfaceFile());
    const bool manager = RemoveIfPresent(ManagerInterfaceFile());
    const bool desktop = RemoveIfPresent(DesktopFile());
    return service && description && manager && desktop;
}
