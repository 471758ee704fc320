#include "com/BusPortSource.h"

#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <fcntl.h>
#include <iterator>
#include <set>

#include "com/PortManager.h"
#include "com/Registration.h"
#include "net/Log.h"
#include "service/PortMessages.h"

namespace {

const char ManagerInterface[] = "MV5840VSP.IPortManager";
const char ErrorPrefix[] = "MV5840VSP.Error.";

QVariantMap Selector(int record)
{
    return {{QStringLiteral("slot"), PortStatus::SlotNumber(record)}};
}

// The fields of the edit dialog as a request.
QVariantMap Request(const PortConfig& config)
{
    return {{QStringLiteral("number"), config.PortNumber},
            {QStringLiteral("code"), QString::fromStdString(config.Code)},
            {QStringLiteral("interval"), config.LoginInterval},
            {QStringLiteral("transport"), config.UseTcp ? QStringLiteral("tcp") : QStringLiteral("udp")},
            {QStringLiteral("fixed_ip"), config.UseFixedIP ? QString::fromStdString(config.PeerIP) : QString()},
            {QStringLiteral("net_port"), config.NetPort},
            {QStringLiteral("net_mode"), QString::fromStdString(config.NetMode)}};
}

// The first argument of a reply, as T.
template <typename T>
T First(const QDBusMessage& reply)
{
    return reply.arguments().isEmpty() ? T() : qdbus_cast<T>(reply.arguments().first());
}

}  // namespace

BusPortSource::BusPortSource(const QDBusConnection& connection, QObject* parent)
    : PortSource(parent), connection_(connection),
      watcher_(QLatin1String(Registration::ServiceName), connection_, QDBusServiceWatcher::WatchForOwnerChange)
{
    qDBusRegisterMetaType<QList<QVariantMap>>();
    qDBusRegisterMetaType<QList<QList<qulonglong>>>();
    connect(&watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) { OnOwnerChanged(newOwner); });
    refreshTimer_.setInterval(RefreshIntervalMs);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] {
        // What moves with the traffic, cheaply; the whole list only while it is not current.
        if (!current_ || asking_) {
            Refresh();
            return;
        }
        Call(QStringLiteral("ListCounters"), {},
             [this](const QDBusMessage& reply) { TakeCounters(First<QList<QList<qulonglong>>>(reply)); }, {});
    });
    // The rows' tooltips follow once per turn, however many ports changed in it.
    changedTimer_.setSingleShot(true);
    changedTimer_.setInterval(0);
    connect(&changedTimer_, &QTimer::timeout, this, &PortSource::PortsChanged);
}

PortSource::Started BusPortSource::Start()
{
    // By the well-known name: the bus delivers the signals of whichever instance owns it.
    connection_.connect(QLatin1String(Registration::ServiceName), QLatin1String(Registration::ObjectPath),
                        QLatin1String(ManagerInterface), QStringLiteral("PortChanged"), this,
                        SLOT(OnPortChanged(QVariantMap)));
    AttachInstance(true);
    refreshTimer_.start();
    return {};
}

void BusPortSource::OnOwnerChanged(const QString& newOwner)
{
    if (newOwner.isEmpty()) {
        Log::Warning("the MV5840VSP service (process " + std::to_string(serverProcess_)
                     + ") has ended; the window shows its ports as they were and attaches again when it starts");
        SetCurrent(false);
        return;
    }
    AttachInstance(false);
}

void BusPortSource::AttachInstance(bool first)
{
    // Its settings, its process and its whole list.
    QDBusPendingCall pid = connection_.interface()->asyncCall(QStringLiteral("GetConnectionUnixProcessID"),
                                                              QLatin1String(Registration::ServiceName));
    auto* pidWatcher = new QDBusPendingCallWatcher(pid, this);
    connect(pidWatcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<uint> reply = *call;
        if (reply.isValid())
            serverProcess_ = reply.value();
    });
    Call(QStringLiteral("GetSettings"), {},
         [this](const QDBusMessage& reply) { settings_ = PortManager::SettingsFromMap(First<QVariantMap>(reply)); },
         {});
    Refresh([this, first] {
        if (!first)
            Log::Notice("the MV5840VSP service is back (process " + std::to_string(serverProcess_)
                        + "); the window shows its ports again");
    });
}

void BusPortSource::Call(const QString& method, const QList<QVariant>& arguments, Answer then, Done done)
{
    QDBusMessage message = QDBusMessage::createMethodCall(QLatin1String(Registration::ServiceName),
                                                          QLatin1String(Registration::ObjectPath),
                                                          QLatin1String(ManagerInterface), method);
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(connection_.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [then = std::move(then), done = std::move(done)](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusMessage reply = call->reply();
                if (reply.type() != QDBusMessage::ErrorMessage) {
                    if (then)
                        then(reply);
                    return;
                }
                std::string text;
                const PortError error = Refusal(call->error(), text);
                if (done)
                    done(error, text);
            });
}

void BusPortSource::Change(const QString& method, const QList<QVariant>& arguments, Done done)
{
    // Answered once the list shows the change, as the window that serves its ports shows it
    // when its call returns.
    Call(
        method, arguments, [this, done](const QDBusMessage&) { Refresh([done] { done({}, {}); }); }, done);
}

void BusPortSource::Add(const PortConfig& config, Done done)
{
    Change(QStringLiteral("AddPort"), {Request(config)}, std::move(done));
}

void BusPortSource::Edit(int record, const PortConfig& config, Done done)
{
    QVariantMap changes = Request(config);
    changes.insert(QStringLiteral("frame_gap"), config.FrameGap);
    Change(QStringLiteral("EditPort"), {Selector(record), changes}, std::move(done));
}

void BusPortSource::Remove(int record, bool force, Done done)
{
    Change(QStringLiteral("RemovePort"), {Selector(record), force}, std::move(done));
}

void BusPortSource::SaveSettings(const GlobalSettings& entered, Done done)
{
    const QVariantMap settings{{QStringLiteral("socket_port"), int(entered.SocketPort)},
                               {QStringLiteral("password"), QString::fromStdString(entered.Password)},
                               {QStringLiteral("shared_mode"), entered.OnlyOnePort != 0},
                               {QStringLiteral("shared_number"), entered.VPortNo}};
    Call(
        QStringLiteral("SetSettings"), {settings}, [done](const QDBusMessage&) { done({}, {}); }, done);
}

void BusPortSource::OpenTrace(int record, TraceDone done)
{
    const QList<QVariantMap> selectors{Selector(record)};
    Call(
        QStringLiteral("Monitor"), {QVariant::fromValue(selectors)},
        [done](const QDBusMessage& reply) {
            const auto trace = First<QDBusUnixFileDescriptor>(reply);
            // The reply's descriptor closes with it: the window gets one of its own.
            done(trace.isValid() ? fcntl(trace.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1);
        },
        [done](const PortError&, const std::string&) { done(-1); });
}

void BusPortSource::Refresh(std::function<void()> then)
{
    if (asking_) {
        // The list that is out may have been made before what then waits for.
        if (then)
            afterNext_.push_back(std::move(then));
        askAgain_ = true;
        return;
    }
    asking_ = true;
    askAgain_ = false;
    if (then)
        afterList_.push_back(std::move(then));
    auto finish = [this] {
        asking_ = false;
        auto waiting = std::move(afterList_);
        afterList_ = std::move(afterNext_);
        afterNext_.clear();
        for (const auto& then : waiting)
            then();
        if (askAgain_)
            Refresh();
    };
    Call(
        QStringLiteral("ListPorts"), {},
        [this, finish](const QDBusMessage& reply) {
            TakeList(First<QList<QVariantMap>>(reply));
            SetCurrent(true);
            finish();
        },
        [this, finish](const PortError&, const std::string&) {
            SetCurrent(false);
            finish();
        });
}

void BusPortSource::TakeList(const QList<QVariantMap>& ports)
{
    std::set<int> listed;
    for (const QVariantMap& map : ports) {
        const PortStatus port = PortManager::FromMap(map);
        listed.insert(port.slot);
        Take(port);
    }
    for (auto it = ports_.begin(); it != ports_.end();) {
        const int record = (it++)->first;
        if (!listed.count(record))
            Drop(record);
    }
}

void BusPortSource::TakeCounters(const QList<QList<qulonglong>>& ports)
{
    constexpr qsizetype Size = 1 + qsizetype(std::size(PortCounters));
    bool same = ports.size() == qsizetype(ports_.size());
    for (const QList<qulonglong>& counters : ports) {
        const auto it = counters.size() >= Size ? ports_.find(PortStatus::SlotIndex(int(counters[0]))) : ports_.end();
        if (it == ports_.end()) {
            same = false;
            continue;
        }
        for (size_t k = 0; k < std::size(PortCounters); ++k)
            it->second.statistics.*PortCounters[k].field = counters[qsizetype(k) + 1];
        rows_.Update(it->second);
    }
    if (!same)
        Refresh();  // a change this view has not heard of yet
}

void BusPortSource::OnPortChanged(const QVariantMap& map)
{
    const PortStatus port = PortManager::FromMap(map);
    if (map.value(QStringLiteral("removed")).toBool())
        Drop(port.slot);
    else
        Take(port);
}

void BusPortSource::Take(const PortStatus& port)
{
    auto it = ports_.find(port.slot);
    if (it == ports_.end()) {
        ports_.emplace(port.slot, port);
        rows_.Append(port);
        ChangedSoon();
        return;
    }
    if (!it->second.SameStateAs(port))
        ChangedSoon();
    it->second = port;
    rows_.Update(port);
}

void BusPortSource::Drop(int record)
{
    if (ports_.erase(record) == 0)
        return;
    rows_.Remove(record);
    ChangedSoon();
}

void BusPortSource::ChangedSoon()
{
    if (!changedTimer_.isActive())
        changedTimer_.start();
}

void BusPortSource::SetCurrent(bool current)
{
    if (current == current_)
        return;
    current_ = current;
    emit CurrentChanged();
}

std::optional<PortStatus> BusPortSource::StatusOf(int record) const
{
    const auto it = ports_.find(record);
    if (it == ports_.end())
        return std::nullopt;
    return it->second;
}

std::optional<LineState> BusPortSource::LineSettings(int record) const
{
    // The library writes them beside the port's link, which this user can read as well.
    const auto it = ports_.find(record);
    if (it == ports_.end() || it->second.device.empty())
        return std::nullopt;
    return LineState::ForLink(it->second.device);
}

std::string BusPortSource::RestartAdvice() const
{
    return "系统配置已保存，在提供虚拟串口的 MV5840VSP 服务重新启动后生效（例如 systemctl --user restart "
           "mv5840vsp）。\r\n重新启动之前，请确认先关闭正在使用虚拟串口的程序。";
}

std::string BusPortSource::Absence() const
{
    const std::string process = serverProcess_ ? "（进程 " + std::to_string(serverProcess_) + "）" : std::string();
    return "提供虚拟串口的 MV5840VSP 服务" + process
           + "已停止或没有回答，下面的列表不是最新的。服务再次运行时，本窗口将自动重新连接。";
}

PortError BusPortSource::Refusal(const QDBusError& error, std::string& text)
{
    const QString name = error.name();
    if (name.startsWith(QLatin1String(ErrorPrefix))) {
        const QString kindName = name.mid(int(sizeof ErrorPrefix) - 1);
        for (int kind = 1; kind <= int(PortError::Kind::NotAnswered); ++kind) {
            if (kindName == QLatin1String(PortError::Name(PortError::Kind(kind)))) {
                // The other instance's words, which are the window's.
                text = error.message().toStdString();
                return {PortError::Kind(kind)};
            }
        }
    }
    const bool gone = error.type() == QDBusError::ServiceUnknown
                      || error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
    const PortError notAnswered{PortError::Kind::NotAnswered, gone ? "gone" : ""};
    text = PortMessages::Text(notAnswered);
    return notAnswered;
}
