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
    };
    // rx and tx keep the type (x) they had before the other counters (t) came.
    for (const StatisticsCounter& counter : PortCounters)
        if (!map.contains(QLatin1String(counter.key)))
            map.insert(QLatin1String(counter.key), qulonglong(port.statistics.*counter.field));
    map.insert(QLatin1String(StatisticsKeys::LastError), QString::fromStdString(port.statistics.lastError));
    map.insert(QLatin1String(StatisticsKeys::LastErrorTime), qlonglong(port.statistics.lastErrorMs));
    return map;
}

QList<QVariantMap> PortManager::ListPorts() const
{
    const std::chrono::milliseconds age = service_.CatchUp();
    QList<QVariantMap> ports;
    for (const PortStatus& port : service_.Snapshot())
        ports.append(AnswerMap(port, age));
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
            {QStringLiteral("shared_number"), settings.VPortNo}};
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
        if (key == QLatin1String("number") || key == QLatin1String("interval") || key == QLatin1String("frame_gap")) {
            if (PortError error = Typed(request, key, QMetaType::Int, "i", value))
                return error;
            (key == QLatin1String("number")     ? fields.PortNumber
             : key == QLatin1String("interval") ? fields.LoginInterval
                                                : fields.FrameGap) = value.toInt();
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
    return Result(std::move(error), slot, port);
}

PortError PortManager::RemovePort(const QVariantMap& selector, bool force)
{
    int slot = -1;
    if (PortError error = Select(selector, slot))
        return error;
    return service_.Remove(slot, force);
}
