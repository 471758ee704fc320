#include "config/ConfigStore.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <arpa/inet.h>
#include <sys/stat.h>

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
constexpr qsizetype MaxNetAddressBytes = 15;

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
    if (!ok || number < std::numeric_limits<int32_t>::min() || number > std::numeric_limits<uint32_t>::max())
        return std::nullopt;
    return static_cast<uint32_t>(number);
}

// A stored text of at most maxBytes bytes of UTF-8. An unquoted comma in a hand-written
// file makes the value a list, which is not a text.
std::optional<std::string> ReadText(const QVariant& value, qsizetype maxBytes)
{
    if (!value.isValid() || value.typeId() == QMetaType::QStringList || !value.canConvert<QString>())
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
    // Edited by hand only. What is no IPv4 address would bind who knows what: loopback stays.
    if (const QVariant value = file.Value("NetAddress"); value.isValid()) {
        const auto address = ReadText(value, MaxNetAddressBytes);
        in_addr parsed{};
        if (address && inet_pton(AF_INET, address->c_str(), &parsed) == 1)
            settings.NetAddress = *address;
        else
            Log::Warning("NetAddress \"" + value.toString().toStdString()
                         + "\" is no IPv4 address; network clients are taken on " + settings.NetAddress);
    }
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
    if (const auto netPort = ReadNumber(value("NetPort")); netPort && *netPort <= PortConfig::MaxNetPort)
        port.NetPort = static_cast<int32_t>(*netPort);
    if (const auto mode = ReadText(value("NetMode"), 16); mode && QString::fromStdString(*mode).toLower() == "raw")
        port.NetMode = "raw";
    return port;
}

// The values one save writes into a group ("" for the top level). A key the file lacks reads as
// its default: while the value stays that default the key stays absent, so a save adds no
// lines the user did not ask for. A group made new takes every key (everyKey).
class GroupValues {
public:
    GroupValues(const SettingsFile& file, QString group, bool everyKey)
        : file_(file), group_(std::move(group)), everyKey_(everyKey)
    {
    }
    void Put(const char* name, const QString& value, bool isDefault)
    {
        if (!isDefault || everyKey_ || file_.Value(Key(name)).isValid())
            values_.emplace_back(name, value);
    }
    QString Key(const char* name) const
    {
        return group_.isEmpty() ? QString::fromLatin1(name) : group_ + u'/' + QLatin1String(name);
    }
    void WriteTo(SettingsFile& file) const { file.SetValues(group_, values_); }

private:
    const SettingsFile& file_;
    const QString group_;
    const bool everyKey_;
    std::vector<std::pair<QString, QString>> values_;
};

void WritePort(SettingsFile& file, int slot, const PortConfig& port)
{
    const PortConfig defaults;
    // In the order QSettings writes them, so a new group looks as it always did.
    GroupValues values(file, GroupOf(slot), !file.HasGroup(GroupOf(slot)));
    values.Put("Code", QString::fromStdString(port.Code), port.Code == defaults.Code);
    // Absent means the default gap, which even a new group leaves out. A line that says the
    // default already stays; one that says another gap goes.
    const QString gapKey = values.Key("FrameGap");
    if (port.FrameGap != PortConfig::DefaultFrameGap
        || ReadNumber(file.Value(gapKey)) == static_cast<uint32_t>(PortConfig::DefaultFrameGap))
        values.Put("FrameGap", QString::number(port.FrameGap), false);
    else
        file.Remove(gapKey);
    values.Put("LoginInterval", QString::number(port.LoginInterval), port.LoginInterval == defaults.LoginInterval);
    // A running port names "no address" as 0.0.0.0, which is what a missing key loads as.
    // Absent means no network server, which even a new group leaves out. A line the user wrote
    // stays while it loads as what runs (NetMode in their letter case); one that would load as
    // something else is rewritten, or goes when what runs is the default.
    const PortConfig stored = ReadPort(file, GroupOf(slot));
    auto optional = [&](const char* name, const QString& text, bool isDefault, bool storedSame) {
        if (storedSame)
            return;
        if (isDefault)
            file.Remove(values.Key(name));
        else
            values.Put(name, text, false);
    };
    optional("NetMode", QString::fromStdString(port.NetMode), port.NetMode == defaults.NetMode,
             stored.NetMode == port.NetMode);
    optional("NetPort", QString::number(port.NetPort), port.NetPort == defaults.NetPort,
             stored.NetPort == port.NetPort);
    values.Put("PeerIP", QString::fromStdString(port.PeerIP),
               port.PeerIP == defaults.PeerIP || port.PeerIP == "0.0.0.0");
    values.Put("PortNumber", QString::number(port.PortNumber), port.PortNumber == defaults.PortNumber);
    values.Put("UseFixedIP", QString::number(port.UseFixedIP), port.UseFixedIP == defaults.UseFixedIP);
    values.Put("UseTcp", QString::number(port.UseTcp), port.UseTcp == defaults.UseTcp);
    values.WriteTo(file);
}

}  // namespace

ConfigStore::ConfigStore(std::string fileName) : fileName_(std::move(fileName)) {}

void ConfigStore::Fail(const Reason& reason) const
{
    lastFailure_ = reason;
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

void ConfigStore::WarnWhenOpenToOthers(mode_t mode) const
{
    if ((mode & (S_IRGRP | S_IROTH)) == 0 || warnedOpenToOthers_)
        return;
    warnedOpenToOthers_ = true;
    char octal[16];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
    Log::Warning("configuration file " + fileName_ + " (mode " + octal
                 + ") can be read by other users of this machine, and it holds the DTU codes and the password; "
                   "it is made private (0600) at the next save, or now with: chmod 600 "
                 + fileName_);
}

StoredConfig ConfigStore::Load() const
{
    lastFailure_ = {};
    StoredConfig stored;
    const ConfigFile::Contents file = ConfigFile::Read(fileName_);
    if (file.error) {
        Fail(file.error);
        return stored;
    }
    if (!file.exists)
        return stored;  // nothing configured yet
    WarnWhenOpenToOthers(file.mode);

    const SettingsFile parsed = SettingsFile::Parse(file.text);
    if (parsed.FaultLine() != 0)
        Fail({Reason::Kind::ConfigNotSetting, fileName_, std::to_string(parsed.FaultLine())});
    ReadGlobals(parsed, stored.settings);
    for (int slot = 0; slot < SlotCount; ++slot) {
        const QString group = GroupOf(slot);
        if (parsed.HasGroup(group))
            stored.ports[slot] = ReadPort(parsed, group);
    }
    return stored;
}

Reason ConfigStore::Change(const std::function<void(SettingsFile&)>& edit) const
{
    // The file's own reason names it; a save says what it was doing.
    auto refuse = [](const Reason& reason) {
        Log::Error(reason.kind == Reason::Kind::ConfigNotSaved ? reason.English()
                                                               : "cannot save the configuration: " + reason.English());
        return reason;
    };
    const ConfigFile::Contents file = ConfigFile::Read(fileName_);
    if (file.error)
        return refuse(file.error);
    SettingsFile settings = SettingsFile::Parse(file.text);
    // Written over, the lines QSettings would guess at could come back as something else.
    if (settings.FaultLine() != 0)
        return refuse({Reason::Kind::ConfigNotSetting, fileName_, std::to_string(settings.FaultLine())});
    edit(settings);
    if (settings.Text() == file.text)
        return {};  // also no file made for removing a group that is not there
    if (const int error = ConfigFile::Replace(fileName_, settings.Text()))
        return refuse({Reason::Kind::ConfigNotSaved, fileName_, {}, error});
    return {};
}

Reason ConfigStore::SavePortConfig(int slot, const PortConfig& port) const
{
    if (!IsSlot(slot))
        return {Reason::Kind::ConfigNotSaved, fileName_, {}, EINVAL};
    return Change([&](SettingsFile& file) { WritePort(file, slot, port); });
}

Reason ConfigStore::SaveNewPortConfig(const std::function<bool(int slot)>& isFree, const PortConfig& port,
                                      int* slot) const
{
    *slot = -1;
    return Change([&](SettingsFile& file) {
        for (int i = 0; i < SlotCount && *slot == -1; ++i) {
            if (isFree(i) && !file.HasGroup(GroupOf(i)))
                *slot = i;
        }
        if (*slot != -1)
            WritePort(file, *slot, port);
    });
}

Reason ConfigStore::DeletePortConfig(int slot) const
{
    if (!IsSlot(slot))
        return {Reason::Kind::ConfigNotSaved, fileName_, {}, EINVAL};
    return Change([&](SettingsFile& file) { file.RemoveGroup(GroupOf(slot)); });
}

Reason ConfigStore::SaveSettings(const GlobalSettings& settings) const
{
    static constexpr const char* GlobalKeys[] = {"OnlyOnePort", "Password", "SocketPort", "VPortNo"};
    const GlobalSettings defaults;
    return Change([&](SettingsFile& file) {
        // A file without settings of its own gets all four, as QSettings would write them.
        const bool fresh = std::none_of(std::begin(GlobalKeys), std::end(GlobalKeys),
                                        [&](const char* key) { return file.Value(key).isValid(); });
        GroupValues values(file, QString(), fresh);
        values.Put("OnlyOnePort", QString::number(settings.OnlyOnePort), settings.OnlyOnePort == defaults.OnlyOnePort);
        values.Put("Password", QString::fromStdString(settings.Password), settings.Password == defaults.Password);
        values.Put("SocketPort", QString::number(settings.SocketPort), settings.SocketPort == defaults.SocketPort);
        values.Put("VPortNo", QString::number(settings.VPortNo), settings.VPortNo == defaults.VPortNo);
        values.WriteTo(file);
    });
}
