#include "config/ConfigStore.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
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
#include "net/SocketAddress.h"

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
//
// Only what the change makes is written: a value equal to the one the store last loaded or
// wrote (before) is left as the file has it, and when the file says something else there (a
// hand edit not loaded yet) its key is noted as kept.
class GroupValues {
public:
    GroupValues(SettingsFile& file, QString group, bool everyKey)
        : file_(file), group_(std::move(group)), everyKey_(everyKey)
    {
    }
    // unchanged: the change leaves the value as it was; handEdited: the file holds another.
    void Put(const char* name, const QString& value, bool isDefault, bool unchanged = false, bool handEdited = false)
    {
        if (unchanged && !everyKey_) {
            if (handEdited)
                kept_ << QLatin1String(name);
            return;
        }
        if (!isDefault || everyKey_ || file_.Value(Key(name)).isValid())
            values_.emplace_back(name, value);
    }
    void Remove(const char* name, bool unchanged, bool handEdited)
    {
        if (unchanged && !everyKey_) {
            if (handEdited)
                kept_ << QLatin1String(name);
            return;
        }
        file_.Remove(Key(name));
    }
    QString Key(const char* name) const
    {
        return group_.isEmpty() ? QString::fromLatin1(name) : group_ + u'/' + QLatin1String(name);
    }
    void Write() const { file_.SetValues(group_, values_); }
    // "[2] (Code, PeerIP)", or "" when no hand edit was kept.
    std::string Kept() const
    {
        if (kept_.isEmpty())
            return {};
        return ("[" + (group_.isEmpty() ? QStringLiteral("General") : group_) + "] (" + kept_.join(u", ") + ")")
            .toStdString();
    }

private:
    SettingsFile& file_;
    const QString group_;
    const bool everyKey_;
    std::vector<std::pair<QString, QString>> values_;
    QStringList kept_;
};

// "", 0.0.0.0 and one address written two ways ("127.000.000.001") are one address.
bool SameAddress(const std::string& a, const std::string& b)
{
    return a == b
           || SocketAddress().Parse(a.c_str()).sin_addr.s_addr == SocketAddress().Parse(b.c_str()).sin_addr.s_addr;
}

// Writes the port into slot's group; before is the group as last loaded or written, null when
// unknown. What it did besides: the hand edits kept, or the group written again.
Reason WritePort(SettingsFile& file, const std::string& fileName, int slot, const PortConfig& port,
                 const std::optional<PortConfig>& before)
{
    const QString group = GroupOf(slot);
    const bool present = file.HasGroup(group);
    const PortConfig inFile = present ? ReadPort(file, group) : PortConfig{};
    const PortConfig& was = before && present ? *before : inFile;
    const PortConfig defaults;
    // In the order QSettings writes them, so a new group looks as it always did.
    GroupValues values(file, group, !present);
    values.Put("Code", QString::fromStdString(port.Code), port.Code == defaults.Code, port.Code == was.Code,
               inFile.Code != was.Code);
    // Absent means the default gap, which even a new group leaves out. A line that says the
    // default already stays; one that says another gap goes.
    const bool gapUnchanged = port.FrameGap == was.FrameGap, gapEdited = inFile.FrameGap != was.FrameGap;
    if (port.FrameGap != PortConfig::DefaultFrameGap
        || ReadNumber(file.Value(values.Key("FrameGap"))) == static_cast<uint32_t>(PortConfig::DefaultFrameGap))
        values.Put("FrameGap", QString::number(port.FrameGap), false, gapUnchanged, gapEdited);
    else
        values.Remove("FrameGap", gapUnchanged, gapEdited);
    values.Put("LoginInterval", QString::number(port.LoginInterval), port.LoginInterval == defaults.LoginInterval,
               port.LoginInterval == was.LoginInterval, inFile.LoginInterval != was.LoginInterval);
    // Absent means no network server, which even a new group leaves out; a line the user wrote
    // (NetMode in their letter case) stays while the change leaves its value as it was.
    auto optional = [&](const char* name, const QString& text, bool isDefault, bool unchanged, bool handEdited) {
        if (isDefault)
            values.Remove(name, unchanged, handEdited);
        else
            values.Put(name, text, false, unchanged, handEdited);
    };
    optional("NetMode", QString::fromStdString(port.NetMode), port.NetMode == defaults.NetMode,
             port.NetMode == was.NetMode, inFile.NetMode != was.NetMode);
    optional("NetPort", QString::number(port.NetPort), port.NetPort == defaults.NetPort, port.NetPort == was.NetPort,
             inFile.NetPort != was.NetPort);
    // A running port names "no address" as 0.0.0.0, which is what a missing key loads as.
    values.Put("PeerIP", QString::fromStdString(port.PeerIP), SameAddress(port.PeerIP, defaults.PeerIP),
               SameAddress(port.PeerIP, was.PeerIP), !SameAddress(inFile.PeerIP, was.PeerIP));
    values.Put("PortNumber", QString::number(port.PortNumber), port.PortNumber == defaults.PortNumber,
               port.PortNumber == was.PortNumber, inFile.PortNumber != was.PortNumber);
    values.Put("UseFixedIP", QString::number(port.UseFixedIP), port.UseFixedIP == defaults.UseFixedIP,
               port.UseFixedIP == was.UseFixedIP, inFile.UseFixedIP != was.UseFixedIP);
    values.Put("UseTcp", QString::number(port.UseTcp), port.UseTcp == defaults.UseTcp, port.UseTcp == was.UseTcp,
               inFile.UseTcp != was.UseTcp);
    values.Write();
    if (before && !present)
        return {Reason::Kind::ConfigGroupWrittenAgain, fileName, "[" + group.toStdString() + "]"};
    if (const std::string kept = values.Kept(); !kept.empty())
        return {Reason::Kind::ConfigHandEditsKept, fileName, kept};
    return {};
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
    if (!file.exists) {
        Remember(stored);  // nothing configured yet
        return stored;
    }
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
    Remember(stored);
    return stored;
}

void ConfigStore::Remember(const StoredConfig& stored) const
{
    // A file with a faulty line runs when it is the first one read; later it changes nothing.
    if (known_ && lastFailure_)
        return;
    known_ = true;
    knownSettings_ = stored.settings;
    std::copy(std::begin(stored.ports), std::end(stored.ports), std::begin(knownPorts_));
}

Reason ConfigStore::Change(const std::function<Reason(SettingsFile&)>& edit) const
{
    lastNotice_ = {};
    // The file's own reason names it; a save says what it was doing.
    auto refuse = [](const Reason& reason) {
        Log::Error(reason.kind == Reason::Kind::ConfigNotSaved ? reason.English()
                                                               : "cannot save the configuration: " + reason.English());
        return reason;
    };
    RemoveLeftovers();
    const ConfigFile::Contents file = ConfigFile::Read(fileName_);
    if (file.error)
        return refuse(file.error);
    SettingsFile settings = SettingsFile::Parse(file.text);
    // Written over, the lines QSettings would guess at could come back as something else.
    if (settings.FaultLine() != 0)
        return refuse({Reason::Kind::ConfigNotSetting, fileName_, std::to_string(settings.FaultLine())});
    const Reason notice = edit(settings);
    // No file is made for removing a group that is not there.
    if (settings.Text() != file.text) {
        if (const int error = ConfigFile::Replace(fileName_, settings.Text()))
            return refuse({Reason::Kind::ConfigNotSaved, fileName_, {}, error});
    }
    if (notice) {
        lastNotice_ = notice;
        Log::Warning(notice.English());
    }
    return {};
}

Reason ConfigStore::SavePortConfig(int slot, const PortConfig& port) const
{
    if (!IsSlot(slot))
        return {Reason::Kind::ConfigNotSaved, fileName_, {}, EINVAL};
    const Reason failure = Change([&](SettingsFile& file) {
        return WritePort(file, fileName_, slot, port, known_ ? knownPorts_[slot] : std::nullopt);
    });
    if (!failure && known_)
        knownPorts_[slot] = port;
    return failure;
}

Reason ConfigStore::SaveNewPortConfig(const std::function<bool(int slot)>& isFree, const PortConfig& port,
                                      int* slot) const
{
    *slot = -1;
    const Reason failure = Change([&](SettingsFile& file) {
        for (int i = 0; i < SlotCount && *slot == -1; ++i) {
            if (isFree(i) && !file.HasGroup(GroupOf(i)))
                *slot = i;
        }
        // A new group: nothing it holds can be a hand edit.
        return *slot == -1 ? Reason() : WritePort(file, fileName_, *slot, port, std::nullopt);
    });
    if (!failure && known_ && *slot != -1)
        knownPorts_[*slot] = port;
    return failure;
}

Reason ConfigStore::DeletePortConfig(int slot) const
{
    if (!IsSlot(slot))
        return {Reason::Kind::ConfigNotSaved, fileName_, {}, EINVAL};
    const Reason failure = Change([&](SettingsFile& file) {
        file.RemoveGroup(GroupOf(slot));
        return Reason();
    });
    if (!failure && known_)
        knownPorts_[slot].reset();
    return failure;
}

Reason ConfigStore::SaveSettings(const GlobalSettings& settings) const
{
    static constexpr const char* GlobalKeys[] = {"OnlyOnePort", "Password", "SocketPort", "VPortNo"};
    const GlobalSettings defaults;
    const Reason failure = Change([&](SettingsFile& file) {
        // A file without settings of its own gets all four, as QSettings would write them.
        const bool fresh = std::none_of(std::begin(GlobalKeys), std::end(GlobalKeys),
                                        [&](const char* key) { return file.Value(key).isValid(); });
        GlobalSettings inFile;
        ReadGlobals(file, inFile);
        const GlobalSettings& was = known_ ? knownSettings_ : inFile;
        GroupValues values(file, QString(), fresh);
        values.Put("OnlyOnePort", QString::number(settings.OnlyOnePort), settings.OnlyOnePort == defaults.OnlyOnePort,
                   settings.OnlyOnePort == was.OnlyOnePort, inFile.OnlyOnePort != was.OnlyOnePort);
        values.Put("Password", QString::fromStdString(settings.Password), settings.Password == defaults.Password,
                   settings.Password == was.Password, inFile.Password != was.Password);
        values.Put("SocketPort", QString::number(settings.SocketPort), settings.SocketPort == defaults.SocketPort,
                   settings.SocketPort == was.SocketPort, inFile.SocketPort != was.SocketPort);
        values.Put("VPortNo", QString::number(settings.VPortNo), settings.VPortNo == defaults.VPortNo,
                   settings.VPortNo == was.VPortNo, inFile.VPortNo != was.VPortNo);
        values.Write();
        const std::string kept = values.Kept();
        return kept.empty() ? Reason() : Reason(Reason::Kind::ConfigSettingsEditsKept, fileName_, kept);
    });
    if (!failure && known_)
        knownSettings_ = settings;
    return failure;
}

void ConfigStore::RemoveLeftovers() const
{
    std::vector<std::pair<std::string, int>> failed;
    for (const std::string& path : ConfigFile::RemoveLeftovers(fileName_, &failed))
        Log::Notice("removed " + path + ", left by a save of the configuration that was cut short");
    for (const auto& [path, error] : failed)
        Log::Warning("cannot remove " + path
                     + ", left by a save of the configuration that was cut short: " + Log::SystemReason(error));
}
