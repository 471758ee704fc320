#include "config/ConfigStore.h"

#include <QFile>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

namespace {

constexpr int MinLoginInterval = 10;
constexpr int MaxLoginInterval = 100000;

// Longest texts that load, in UTF-8 bytes: the fixed buffers of the stored format less
// their terminator.
constexpr qsizetype MaxPasswordBytes = 15;
constexpr qsizetype MaxCodeBytes = 11;
constexpr qsizetype MaxPeerIpBytes = 19;

// The product key: the one settings file of the program.
class ProductKey : public QSettings {
public:
    ProductKey() : QSettings(QSettings::NativeFormat, QSettings::UserScope, "Torvane", "HOLBRN") {}

    // A file that could not be read, or was read only in part, is never written over.
    bool ReadCleanly() const { return status() == QSettings::NoError; }
    bool CanWrite() const { return ReadCleanly() && isWritable(); }
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
std::optional<uint32_t> ReadNumber(const QSettings& key, const QString& name)
{
    const QVariant value = key.value(name);
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
std::optional<std::string> ReadText(const QSettings& key, const QString& name, qsizetype maxBytes)
{
    const QVariant value = key.value(name);
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

// QSettings neither lists nor keeps a section without values, but a hand-written "[3]"
// still names an existing slot.
bool HasBareSection(const QString& fileName, const QString& group)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray header = "[" + group.toLatin1() + "]";
    while (!file.atEnd()) {
        if (file.readLine().trimmed() == header)
            return true;
    }
    return false;
}

}  // namespace

void ConfigStore::LoadSettings(GlobalSettings& settings) const
{
    const ProductKey key;
    if (!key.ReadCleanly())
        return;
    if (const auto port = ReadNumber(key, "SocketPort"))
        settings.SocketPort = static_cast<uint16_t>(*port);
    if (const auto password = ReadText(key, "Password", MaxPasswordBytes))
        settings.Password = *password;
    if (const auto shared = ReadNumber(key, "OnlyOnePort"))
        settings.OnlyOnePort = AsFlag(*shared);
    if (const auto number = ReadNumber(key, "VPortNo"); number && *number >= 1 && *number <= 256)
        settings.VPortNo = static_cast<int>(*number);
}

bool ConfigStore::LoadPortConfig(int slot, VirtualPortEntry& entry, uint16_t socketPort) const
{
    if (!IsSlot(slot))
        return false;
    const QString group = GroupOf(slot);
    bool bare = false;
    {
        ProductKey key;
        if (!key.ReadCleanly())
            return false;
        if (!key.childGroups().contains(group)) {
            bare = HasBareSection(key.fileName(), group);
            if (!bare)
                return false;
        }
        key.beginGroup(group);
        if (const auto number = ReadNumber(key, "PortNumber"))
            entry.PortNumber = static_cast<int32_t>(*number);
        if (const auto fixed = ReadNumber(key, "UseFixedIP"))
            entry.UseFixedIP = AsFlag(*fixed);
        if (const auto tcp = ReadNumber(key, "UseTcp"))
            entry.UseTcp = AsFlag(*tcp);
        if (const auto interval = ReadNumber(key, "LoginInterval"))
            entry.LoginInterval = static_cast<int32_t>(*interval);
        entry.LoginInterval = std::clamp(entry.LoginInterval, MinLoginInterval, MaxLoginInterval);
        if (const auto code = ReadText(key, "Code", MaxCodeBytes))
            entry.Code = *code;
        if (const auto peer = ReadText(key, "PeerIP", MaxPeerIpBytes)) {
            char text[MaxPeerIpBytes + 8];
            std::snprintf(text, sizeof text, "%s:%d", peer->c_str(), socketPort);
            entry.peerAddress.Parse(text);
        }
    }
    // The next save would drop the empty section and lose the port: give it its values now.
    if (bare)
        SavePortConfig(slot, entry);
    return true;
}

void ConfigStore::SavePortConfig(int slot, const VirtualPortEntry& entry) const
{
    if (!IsSlot(slot))
        return;
    ProductKey key;
    if (!key.CanWrite())
        return;
    key.beginGroup(GroupOf(slot));
    key.setValue("PortNumber", entry.PortNumber);
    key.setValue("UseFixedIP", entry.UseFixedIP);
    key.setValue("UseTcp", entry.UseTcp);
    key.setValue("LoginInterval", entry.LoginInterval);
    key.setValue("Code", QString::fromStdString(entry.Code));
    key.setValue("PeerIP", QString::fromStdString(entry.peerAddress.ToText()));
    key.endGroup();
    key.sync();
}

void ConfigStore::DeletePortConfig(int slot) const
{
    if (!IsSlot(slot))
        return;
    ProductKey key;
    const QString group = GroupOf(slot);
    if (!key.CanWrite() || !key.childGroups().contains(group))
        return;
    key.remove(group);
    key.sync();
}

bool ConfigStore::SaveSettings(const GlobalSettings& settings) const
{
    ProductKey key;
    if (!key.CanWrite())
        return false;
    key.setValue("SocketPort", static_cast<int>(settings.SocketPort));
    key.setValue("OnlyOnePort", settings.OnlyOnePort);
    key.setValue("VPortNo", settings.VPortNo);
    key.setValue("Password", QString::fromStdString(settings.Password));
    key.sync();
    return key.status() == QSettings::NoError;
}
