#include "com/PortManager.h"

#include <QMetaType>
#include <QSet>

namespace {

PortError InvalidArgument(const QString& key, const QString& what)
{
    return {PortError::Kind::InvalidArgument, key.toStdString(), what.toStdString()};
}

// The value of key when the request has it with the bus type wanted.
PortError Typed(const QVariantMap& request, const QString& key, QMetaType::Type type, const char* signature,
                QVariant& value)
{
    value = request.value(key);
    if (value.typeId() != type)
        return InvalidArgument(key, QStringLiteral("must be of type %1").arg(QLatin1String(signature)));
    return {};
}

// A reason as data, for a front end that says it in its own language: flat keys under a
// prefix ("reason_kind", "reason_subject" …), so every client reads them as plain values.
void InsertReason(QVariantMap& map, const QString& prefix, const Reason& reason)
{
    map.insert(prefix + QStringLiteral("_kind"), int(reason.kind));
    map.insert(prefix + QStringLiteral("_subject"), QString::fromStdString(reason.subject));
    map.insert(prefix + QStringLiteral("_detail"), QString::fromStdString(reason.detail));
    map.insert(prefix + QStringLiteral("_errno"), reason.error);
}

Reason ReasonFromMap(const QVariantMap& map, const QString& prefix)
{
    const int kind = map.value(prefix + QStringLiteral("_kind")).toInt();
    if (kind <= 0 || kind > int(Reason::Kind::ChunkWithoutDtu))
        return {};
    return {Reason::Kind(kind), map.value(prefix + QStringLiteral("_subject")).toString().toStdString(),
            map.value(prefix + QStringLiteral("_detail")).toString().toStdString(),
            map.value(prefix + QStringLiteral("_errno")).toInt()};
}

}  // namespace

PortManager::PortManager(PortService& service, QObject* parent) : QObject(parent), service_(service)
{
    connect(&service_, &PortService::PortStateChanged, this,
            [this](const PortStatus& port) { emit PortChanged(ToMap(port)); });
    connect(&service_, &PortService::PortRemoved, this, [this](int slot, int number, const std::string& code) {
        emit PortChanged({{QStringLiteral("slot"), PortStatus::SlotNumber(slot)},
                          {QStringLiteral("number"), number},
                          {QStringLiteral("code"), QString::fromStdString(code)},
                          {QStringLiteral("removed"), true}});
    });
}

QVariantMap PortManager::ToMap(const PortStatus& port)
{
    QVariantMap map{
        {QStringLiteral("slot"), PortStatus::SlotNumber(port.slot)},
        {QStringLiteral("number"), port.config.PortNumber},
        {QStringLiteral("name"), QString::fromStdString(port.Name())},
        {QStringLiteral("code"), QString::fromStdString(port.config.Code)},
        {QStringLiteral("transport"), port.config.UseTcp ? QStringLiteral("tcp") : QStringLiteral("udp")},
        {QStringLiteral("fixed_ip"), QString::fromStdString(port.FixedAddress())},
        {QStringLiteral("peer"), QString::fromStdString(port.peer)},
        {QStringLiteral("online"), port.online},
        {QStringLiteral("rx"), qlonglong(port.statistics.rxBytes)},
        {QStringLiteral("tx"), qlonglong(port.statistics.txBytes)},
        {QStringLiteral("device"), QString::fromStdString(port.device)},
        {QStringLiteral("last_heard"), qlonglong(port.lastHeardMs)},
        {QStringLiteral("interval"), port.config.LoginInterval},
        {QStringLiteral("frame_gap"), port.config.FrameGap},
        {QStringLiteral("state"), QString::fromStdString(port.State())},
        {QStringLiteral("reason"), QString::fromStdString(port.reason.English())},
        {QStringLiteral("in_use"), port.inUse},
        {QStringLiteral("net_port"), port.config.NetPort},
        {QStringLiteral("net_mode"), QString::fromStdString(port.config.NetMode)},
        {QStringLiteral("net_client"), QString::fromStdString(port.netClient)},
        {QStringLiteral("net_reason"), QString::fromStdString(port.netFailure.English())},
        // For a front end of the window's: the stored address and where a dynamic port's DTU
        // logged in from.
        {QStringLiteral("peer_ip"), QString::fromStdString(port.config.PeerIP)},
        {QStringLiteral("login_address"), QString::fromStdString(port.loginAddress)},
    };
    InsertReason(map, QStringLiteral("reason"), port.reason);
    InsertReason(map, QStringLiteral("last_error"), port.lastError);
    InsertReason(map, QStringLiteral("net_reason"), port.netFailure);
    // rx and tx keep the type (x) they had before the other counters (t) came.
    for (const StatisticsCounter& counter : PortCounters)
        if (!map.contains(QLatin1String(counter.key)))
            map.insert(QLatin1String(counter.key), qulonglong(port.statistics.*counter.field));
    map.insert(QLatin1String(StatisticsKeys::LastError), QString::fromStdString(port.statistics.lastError));
    map.insert(QLatin1String(StatisticsKeys::LastErrorTime), qlonglong(port.statistics.lastErrorMs));
    return map;
}

PortStatus PortManager::FromMap(const QVariantMap& map)
{
    auto text = [&map](const char* key) { return map.value(QLatin1String(key)).toString().toStdString(); };
    PortStatus port;
    port.slot = PortStatus::SlotIndex(map.value(QStringLiteral("slot")).toInt());
    port.config.PortNumber = map.value(QStringLiteral("number")).toInt();
    port.config.Code = text("code");
    port.config.UseTcp = text("transport") == "tcp" ? 1 : 0;
    port.config.UseFixedIP = text("fixed_ip").empty() ? 0 : 1;
    port.config.PeerIP = map.contains(QStringLiteral("peer_ip")) ? text("peer_ip") : text("fixed_ip");
    port.config.LoginInterval = map.value(QStringLiteral("interval")).toInt();
    port.config.FrameGap = map.value(QStringLiteral("frame_gap")).toInt();
    port.peer = text("peer");
    port.loginAddress = text("login_address");
    port.online = map.value(QStringLiteral("online")).toBool();
    port.device = text("device");
    port.lastHeardMs = map.value(QStringLiteral("last_heard")).toLongLong();
    port.served = text("state") != "not-served";
    port.reason = ReasonFromMap(map, QStringLiteral("reason"));
    port.inUse = map.value(QStringLiteral("in_use")).toBool();
    for (const StatisticsCounter& counter : PortCounters)
        port.statistics.*counter.field = map.value(QLatin1String(counter.key)).toULongLong();
    port.statistics.lastError = text(StatisticsKeys::LastError);
    port.statistics.lastErrorMs = map.value(QLatin1String(StatisticsKeys::LastErrorTime), -1).toLongLong();
    port.lastError = ReasonFromMap(map, QStringLiteral("last_error"));
    port.config.NetPort = map.value(QStringLiteral("net_port")).toInt();
    port.config.NetMode = map.contains(QStringLiteral("net_mode")) ? text("net_mode") : port.config.NetMode;
    port.netClient = text("net_client");
    port.netFailure = ReasonFromMap(map, QStringLiteral("net_reason"));
    return port;
}

GlobalSettings PortManager::SettingsFromMap(const QVariantMap& map)
{
    GlobalSettings settings;
    settings.SocketPort = static_cast<uint16_t>(map.value(QStringLiteral("socket_port"), settings.SocketPort).toInt());
    settings.Password = map.value(QStringLiteral("password")).toString().toStdString();
    settings.OnlyOnePort = map.value(QStringLiteral("shared_mode")).toBool() ? 1 : 0;
    settings.VPortNo = map.value(QStringLiteral("shared_number"), settings.VPortNo).toInt();
    if (map.contains(QStringLiteral("net_address")))
        settings.NetAddress = map.value(QStringLiteral("net_address")).toString().toStdString();
    return settings;
}

QList<QVariantMap> PortManager::ListPorts() const
{
    const std::chrono::milliseconds age = service_.CatchUp();
    QList<QVariantMap> ports;
    for (const PortStatus& port : service_.Snapshot())
        ports.append(AnswerMap(port, age));
    return ports;
}

QList<QList<qulonglong>> PortManager::ListCounters() const
{
    QList<QList<qulonglong>> ports;
    for (const PortStatus& port : service_.Snapshot()) {
        QList<qulonglong> counters{qulonglong(PortStatus::SlotNumber(port.slot))};
        for (const StatisticsCounter& counter : PortCounters)
            counters.append(port.statistics.*counter.field);
        ports.append(counters);
    }
    return ports;
}

QVariantMap PortManager::AnswerMap(const PortStatus& port, std::chrono::milliseconds age)
{
    QVariantMap map = ToMap(port);
    // Read when asked, not per signal: it is a file the application's library writes.
    const auto line = PortService::LineSettings(port);
    map.insert(QStringLiteral("line"), line ? QString::fromStdString(line->Text()) : QString());
    map.insert(QStringLiteral("age_ms"), qlonglong(age.count()));
    return map;
}

QVariantMap PortManager::GetSettings() const
{
    const GlobalSettings& settings = service_.Settings();
    return {{QStringLiteral("socket_port"), int(settings.SocketPort)},
            {QStringLiteral("shared_mode"), settings.OnlyOnePort != 0},
            {QStringLiteral("shared_number"), settings.VPortNo},
            {QStringLiteral("net_address"), QString::fromStdString(settings.NetAddress)},
            {QStringLiteral("password"), QString::fromStdString(settings.Password)}};
}

PortError PortManager::SetSettings(const QVariantMap& settings)
{
    GlobalSettings entered = service_.Settings();
    QVariant value;
    for (auto it = settings.begin(); it != settings.end(); ++it) {
        const QString& key = it.key();
        if (key == QLatin1String("socket_port")) {
            if (PortError error = Typed(settings, key, QMetaType::Int, "i", value))
                return error;
            if (value.toInt() < 1 || value.toInt() > 65535)
                return InvalidArgument(key, QStringLiteral("must be 1 to 65535"));
            entered.SocketPort = static_cast<uint16_t>(value.toInt());
        } else if (key == QLatin1String("shared_number")) {
            if (PortError error = Typed(settings, key, QMetaType::Int, "i", value))
                return error;
            if (value.toInt() < PortService::MinNumber || value.toInt() > PortService::MaxNumber)
                return {PortError::Kind::NumberOutOfRange};
            entered.VPortNo = value.toInt();
        } else if (key == QLatin1String("shared_mode")) {
            if (PortError error = Typed(settings, key, QMetaType::Bool, "b", value))
                return error;
            entered.OnlyOnePort = value.toBool() ? 1 : 0;
        } else if (key == QLatin1String("password")) {
            if (PortError error = Typed(settings, key, QMetaType::QString, "s", value))
                return error;
            entered.Password = value.toString().toStdString();
        } else {
            return InvalidArgument(key, QStringLiteral("unknown key"));
        }
    }
    return service_.SaveSettings(entered);
}

PortError PortManager::Monitor(const QList<QVariantMap>& selectors, int& trace)
{
    trace = -1;
    std::vector<int> watched;
    for (const QVariantMap& selector : selectors) {
        int slot = -1;
        if (PortError error = Select(selector, slot))
            return error;
        watched.push_back(slot);
    }
    trace = service_.OpenTrace(watched);
    return {};
}

QVariantMap PortManager::GetStatistics() const
{
    const std::chrono::milliseconds age = service_.CatchUp();
    const GlobalStatistics statistics = service_.Statistics();
    return {{QLatin1String(StatisticsKeys::UnknownCodeDatagrams), qulonglong(statistics.unknownCodeDatagrams)},
            {QLatin1String(StatisticsKeys::LastUnknownSource), QString::fromStdString(statistics.lastUnknownSource)},
            {QStringLiteral("age_ms"), qlonglong(age.count())}};
}

PortError PortManager::Select(const QVariantMap& selector, int& slot) const
{
    static const QStringList keys = {QStringLiteral("slot"), QStringLiteral("number"), QStringLiteral("code")};
    for (auto it = selector.begin(); it != selector.end(); ++it) {
        if (!keys.contains(it.key()))
            return InvalidArgument(it.key(), QStringLiteral("unknown key"));
    }
    if (selector.size() != 1)
        return InvalidArgument(QStringLiteral("selector"), QStringLiteral("give exactly one of slot, number or code"));
    const QString key = selector.firstKey();
    QVariant value;
    if (key == QLatin1String("code")) {
        if (PortError error = Typed(selector, key, QMetaType::QString, "s", value))
            return error;
        slot = service_.FindByCode(value.toString().toStdString());
    } else {
        if (PortError error = Typed(selector, key, QMetaType::Int, "i", value))
            return error;
        const int asked = value.toInt();
        if (key == QLatin1String("slot"))
            slot = service_.StatusOf(PortStatus::SlotIndex(asked)) ? PortStatus::SlotIndex(asked) : -1;
        else
            slot = service_.FindByNumber(asked);
    }
    if (slot < 0)
        return {PortError::Kind::NoSuchPort, key.toStdString(), value.toString().toStdString()};
    return {};
}

PortError PortManager::Apply(const QVariantMap& request, PortConfig& fields) const
{
    QVariant value;
    for (auto it = request.begin(); it != request.end(); ++it) {
        const QString& key = it.key();
        if (key == QLatin1String("number") || key == QLatin1String("interval") || key == QLatin1String("frame_gap")
            || key == QLatin1String("net_port")) {
            if (PortError error = Typed(request, key, QMetaType::Int, "i", value))
                return error;
            (key == QLatin1String("number")     ? fields.PortNumber
             : key == QLatin1String("interval") ? fields.LoginInterval
             : key == QLatin1String("net_port") ? fields.NetPort
                                                : fields.FrameGap) = value.toInt();
        } else if (key == QLatin1String("net_mode")) {
            if (PortError error = Typed(request, key, QMetaType::QString, "s", value))
                return error;
            fields.NetMode = value.toString().toStdString();
        } else if (key == QLatin1String("code")) {
            if (PortError error = Typed(request, key, QMetaType::QString, "s", value))
                return error;
            fields.Code = value.toString().toStdString();
        } else if (key == QLatin1String("transport")) {
            if (PortError error = Typed(request, key, QMetaType::QString, "s", value))
                return error;
            if (value != QLatin1String("udp") && value != QLatin1String("tcp"))
                return InvalidArgument(key, QStringLiteral("must be \"udp\" or \"tcp\""));
            fields.UseTcp = value == QLatin1String("tcp") ? 1 : 0;
        } else if (key == QLatin1String("fixed_ip")) {
            if (PortError error = Typed(request, key, QMetaType::QString, "s", value))
                return error;
            // A dynamic port keeps its last address, as the window keeps the one it shows.
            fields.UseFixedIP = value.toString().isEmpty() ? 0 : 1;
            if (fields.UseFixedIP) {
                if (PortError error = PortService::ParseAddress(value.toString().toStdString(), fields.PeerIP))
                    return error;
            }
        } else {
            return InvalidArgument(key, QStringLiteral("unknown key"));
        }
    }
    return {};
}

PortError PortManager::Result(PortError error, int slot, QVariantMap& port, std::chrono::milliseconds age) const
{
    if (!error) {
        if (const auto snapshot = service_.StatusOf(slot))
            port = AnswerMap(*snapshot, age);
    }
    return error;
}

PortError PortManager::GetPort(const QVariantMap& selector, QVariantMap& port) const
{
    const std::chrono::milliseconds age = service_.CatchUp();
    int slot = -1;
    if (PortError error = Select(selector, slot))
        return error;
    return Result({}, slot, port, age);
}

PortError PortManager::AddPort(const QVariantMap& request, QVariantMap& port)
{
    if (!service_.Settings().OnlyOnePort && !request.contains(QStringLiteral("number")))
        return InvalidArgument(QStringLiteral("number"), QStringLiteral("required"));
    PortConfig fields;
    fields.PeerIP = "0.0.0.0";
    if (PortError error = Apply(request, fields))
        return error;
    int slot = -1;
    PortError error = service_.Add(fields, &slot);
    return Result(std::move(error), slot, port);
}

PortError PortManager::EditPort(const QVariantMap& selector, const QVariantMap& changes, QVariantMap& port)
{
    service_.CatchUp();  // the fields not changed stay as they are now (a dynamic port's address)
    int slot = -1;
    if (PortError error = Select(selector, slot))
        return error;
    PortConfig fields = service_.StatusOf(slot)->config;
    if (PortError error = Apply(changes, fields))
        return error;
    PortError error = service_.Edit(slot, fields);
    error = Result(std::move(error), slot, port);
    if (!error && service_.SaveNotice())
        port.insert(QStringLiteral("note"), QString::fromStdString(service_.SaveNotice().English()));
    return error;
}

PortError PortManager::RemovePort(const QVariantMap& selector, bool force)
{
    int slot = -1;
    if (PortError error = Select(selector, slot))
        return error;
    return service_.Remove(slot, force);
}
