#include "config/ConfigStore.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "config/SettingsFile.h"
#include "net/Log.h"

namespace {

constexpr int MinLoginInterval = 10;
constexpr int MaxLoginInterval = 100000;

// Longest texts that load, in UTF-8 bytes: the fixed buffers of the stored format less
// their terminator.
constexpr qsizetype MaxPasswordBytes = 15;
constexpr qsizetype MaxCodeBytes = 11;
constexpr qsizetype MaxPeerIpBytes = 19;

// The whole file, or the errno that kept it from being read (ENOENT when there is none).
struct FileText {
    QByteArray text;
    int error = 0;
};

FileText ReadWholeFile(const std::string& path)
{
    FileText result;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.error = errno;
        return result;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        result.error = EISDIR;
        return result;
    }
    if (st.st_size > 0)
        result.text.reserve(st.st_size);
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            result.text.append(buffer, n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            result.error = errno;
            break;
        }
    }
    close(fd);
    return result;
}

// The product key: the one settings file of the program, for writing.
class ProductKey : public QSettings {
public:
    explicit ProductKey(const std::string& fileName)
        : QSettings(QString::fromStdString(fileName), QSettings::IniFormat) {}
};

QString GroupOf(int slot)
{
    return QString::number(slot + 1);
}

bool IsSlot(int slot)
{
    return slot >= 0 && slot < ConfigStore::SlotCount;
}

// A stored 32-bit number: anything from INT32_MIN to UINT32_MAX, kept as its 32 bits.
// Numbers come back from the file as text; a value that is not a decimal number or needs
// more than 32 bits does not read.
std::optional<uint32_t> ReadNumber(const QVariant& value)
{
    if (!value.isValid() || value.typeId() == QMetaType::QStringList)
        return std::nullopt;
    bool ok = false;
    const qlonglong number = value.toLongLong(&ok);
    if (!ok || number < std::numeric_limits<int32_t>::min() ||
        number > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    return static_cast<uint32_t>(number);
}

// A stored text of at most maxBytes bytes of UTF-8. An unquoted comma in a hand-written
// file makes the value a list, which is not a text.
std::optional<std::string> ReadText(const QVariant& value, qsizetype maxBytes)
{
    if (!value.isValid() || value.typeId() == QMetaType::QStringList ||
        !value.canConvert<QString>())
        return std::nullopt;
    const QByteArray utf8 = value.toString().toUtf8();
    if (utf8.size() > maxBytes)
        return std::nullopt;
    return utf8.toStdString();
}

int AsFlag(uint32_t value)
{
    return value != 0 ? 1 : 0;
}

void ReadGlobals(const SettingsFile& file, GlobalSettings& settings)
{
    if (const auto port = ReadNumber(file.Value("SocketPort")))
        settings.SocketPort = static_cast<uint16_t>(*port);
    if (const auto password = ReadText(file.Value("Password"), MaxPasswordBytes))
        settings.Password = *password;
    if (const auto shared = ReadNumber(file.Value("OnlyOnePort")))
        settings.OnlyOnePort = AsFlag(*shared);
    if (const auto number = ReadNumber(file.Value("VPortNo")); number && *number >= 1 && *number <= 256)
        settings.VPortNo = static_cast<int>(*number);
}

PortConfig ReadPort(const SettingsFile& file, const QString& group)
{
    PortConfig port;
    auto value = [&](const char* name) { return file.Value(group + u'/' + QLatin1String(name)); };
    if (const auto number = ReadNumber(value("PortNumber")))
        port.PortNumber = static_cast<int32_t>(*number);
    if (const auto fixed = ReadNumber(value("UseFixedIP")))
        port.UseFixedIP = AsFlag(*fixed);
    if (const auto tcp = ReadNumber(value("UseTcp")))
        port.UseTcp = AsFlag(*tcp);
    if (const auto interval = ReadNumber(value("LoginInterval")))
        port.LoginInterval = static_cast<int32_t>(*interval);
    port.LoginInterval = std::clamp(port.LoginInterval, MinLoginInterval, MaxLoginInterval);
    if (const auto code = ReadText(value("Code"), MaxCodeBytes))
        port.Code = *code;
    if (const auto peer = ReadText(value("PeerIP"), MaxPeerIpBytes))
        port.PeerIP = *peer;
    // A gap outside its range is no gap this port was given: the default stays.
    if (const auto gap = ReadNumber(value("FrameGap"));
        gap && static_cast<int32_t>(*gap) >= 0 && static_cast<int32_t>(*gap) <= PortConfig::MaxFrameGap)
        port.FrameGap = static_cast<int32_t>(*gap);
    return port;
}

void WritePort(QSettings& key, int slot, const PortConfig& port)
{
    key.beginGroup(GroupOf(slot));
    key.setValue("PortNumber", port.PortNumber);
    key.setValue("UseFixedIP", port.UseFixedIP);
    key.setValue("UseTcp", port.UseTcp);
    key.setValue("LoginInterval", port.LoginInterval);
    key.setValue("Code", QString::fromStdString(port.Code));
    key.setValue("PeerIP", QString::fromStdString(port.PeerIP));
    // Absent means the default, so a port that keeps it keeps the group it always had.
    if (port.FrameGap == PortConfig::DefaultFrameGap)
        key.remove("FrameGap");
    else
        key.setValue("FrameGap", port.FrameGap);
    key.endGroup();
}

}  // namespace

ConfigStore::ConfigStore(std::string fileName) : fileName(std::move(fileName)) {}

void ConfigStore::Fail(const Reason& reason) const
{
    lastFailure = reason;
    Log::Error(reason.English());
}

std::string ConfigStore::DefaultFileName()
{
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (configHome && configHome[0] == '/')
        base = configHome;
    else
        base = QDir::homePath().toStdString() + "/.config";
    return base + "/Torvane/HOLBRN.conf";
}

StoredConfig ConfigStore::Load() const
{
    lastFailure = {};
    StoredConfig stored;
    const FileText file = ReadWholeFile(fileName);
    if (file.error == ENOENT)
        return stored;  // nothing configured yet
    if (file.error != 0) {
        Fail({Reason::Kind::ConfigUnreadable, fileName, {}, file.error});
        return stored;
    }

    const SettingsFile parsed = SettingsFile::Parse(file.text);
    if (parsed.FaultLine() != 0)
        Fail({Reason::Kind::ConfigNotSetting, fileName, std::to_string(parsed.FaultLine())});
    ReadGlobals(parsed, stored.settings);
    for (int slot = 0; slot < SlotCount; ++slot) {
        const QString group = GroupOf(slot);
        if (parsed.HasGroup(group))
            stored.ports[slot] = ReadPort(parsed, group);
    }

    // The next save would drop an empty section and lose its port: give it its values now.
    bool bare = false;
    for (int slot = 0; slot < SlotCount && !bare; ++slot)
        bare = parsed.BareGroups().contains(GroupOf(slot));
    if (bare && parsed.FaultLine() == 0) {
        ProductKey key(fileName);
        if (key.status() == QSettings::NoError && key.isWritable()) {
            for (int slot = 0; slot < SlotCount; ++slot) {
                if (parsed.BareGroups().contains(GroupOf(slot)))
                    WritePort(key, slot, *stored.ports[slot]);
            }
            key.sync();
        }
    }
    return stored;
}

// A file that could not be read, or was read only in part, is never written over.
bool ConfigStore::CanWriteOver() const
{
    lastFailure = {};
    const FileText file = ReadWholeFile(fileName);
    if (file.error != 0 && file.error != ENOENT) {
        ReportSaveFailure();
        return false;
    }
    if (SettingsFile::Parse(file.text).FaultLine() != 0) {
        Fail({Reason::Kind::ConfigHoldsNonSettings, fileName});
        return false;
    }
    return true;
}

void ConfigStore::ReportSaveFailure() const
{
    // QSettings gives no reason of its own: find the step the system refuses.
    const QFileInfo info(QString::fromStdString(fileName));
    const std::string directory = info.absolutePath().toStdString();
    int error = 0;
    struct stat st {};
    if (info.isDir())
        error = EISDIR;
    else if (stat(directory.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        error = ENOTDIR;
    else if (!QDir().mkpath(info.absolutePath()) && access(directory.c_str(), F_OK) != 0)
        error = errno;
    else if (access(directory.c_str(), W_OK | X_OK) != 0)
        error = errno;
    else if (info.exists() && access(fileName.c_str(), R_OK | W_OK) != 0)
        error = errno;
    Fail({Reason::Kind::ConfigNotSaved, fileName, {}, error});
}

bool ConfigStore::SavePortConfig(int slot, const PortConfig& port) const
{
    if (!IsSlot(slot))
        return false;
    if (!CanWriteOver())
        return false;
    ProductKey key(fileName);
    if (key.status() == QSettings::NoError && key.isWritable()) {
        WritePort(key, slot, port);
        key.sync();
        if (key.status() == QSettings::NoError)
            return true;
    }
    ReportSaveFailure();
    return false;
}

bool ConfigStore::DeletePortConfig(int slot) const
{
    if (!IsSlot(slot))
        return false;
    if (!CanWriteOver())
        return false;
    ProductKey key(fileName);
    const QString group = GroupOf(slot);
    if (key.status() == QSettings::NoError && !key.childGroups().contains(group))
        return true;
    if (key.status() == QSettings::NoError && key.isWritable()) {
        key.remove(group);
        key.sync();
        if (key.status() == QSettings::NoError)
            return true;
    }
    ReportSaveFailure();
    return false;
}

bool ConfigStore::SaveSettings(const GlobalSettings& settings) const
{
    if (!CanWriteOver())
        return false;
    ProductKey key(fileName);
    if (key.status() == QSettings::NoError && key.isWritable()) {
        key.setValue("SocketPort", static_cast<int>(settings.SocketPort));
        key.setValue("OnlyOnePort", settings.OnlyOnePort);
        key.setValue("VPortNo", settings.VPortNo);
        key.setValue("Password", QString::fromStdString(settings.Password));
        key.sync();
        if (key.status() == QSettings::NoError)
            return true;
    }
    ReportSaveFailure();
    return false;
}
