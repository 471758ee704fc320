#include "cli/PortWatch.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTime>
#include <QSocketNotifier>
#include <QTimer>

#include "app/SignalExit.h"
#include "cli/PortFormat.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <optional>

namespace {

constexpr int RefreshMs = 1000;
// Keys and signals wait while a call does: a program that hangs must not hold the view long.
constexpr int WatchCallTimeoutMs = 3000;

// Keys one by one without echo while the view runs; Ctrl+C still raises SIGINT.
class KeyboardMode {
public:
    KeyboardMode()
    {
        if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0)
            return;
        termios keys = saved_;
        keys.c_lflag &= ~(ICANON | ECHO);
        keys.c_cc[VMIN] = 1;
        keys.c_cc[VTIME] = 0;
        active_ = tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
    }
    ~KeyboardMode()
    {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    KeyboardMode(const KeyboardMode&) = delete;
    KeyboardMode& operator=(const KeyboardMode&) = delete;

    bool Active() const { return active_; }

private:
    termios saved_{};
    bool active_ = false;
};

QString Rate(const QMap<int, PortRates>& rates, int slot, bool received)
{
    const auto found = rates.constFind(slot);
    if (found == rates.constEnd())
        return QStringLiteral("-");
    return ByteSize(received ? found->rx : found->tx) + QLatin1String("/s");
}

}  // namespace

QMap<int, PortRates> RateMeter::Sample(const QList<QVariantMap>& ports, qint64 nowMs)
{
    QMap<int, PortRates> rates;
    QMap<int, std::pair<qint64, qint64>> now;
    const double seconds = lastMs_ < 0 ? 0 : (nowMs - lastMs_) / 1000.0;
    for (const QVariantMap& port : ports) {
        const int slot = port.value(QStringLiteral("slot")).toInt();
        const qint64 rx = port.value(QStringLiteral("rx")).toLongLong();
        const qint64 tx = port.value(QStringLiteral("tx")).toLongLong();
        now.insert(slot, {rx, tx});
        const auto before = counters_.constFind(slot);
        if (seconds <= 0 || before == counters_.constEnd() || rx < before->first || tx < before->second)
            continue;
        rates.insert(slot, {(rx - before->first) / seconds, (tx - before->second) / seconds});
    }
    counters_ = now;
    lastMs_ = nowMs;
    return rates;
}

QStringList WatchLines(const QList<QVariantMap>& ports, const QMap<int, PortRates>& rates, const QString& status)
{
    TextTable table;
    table.AddColumn(QStringLiteral("PORT"));
    table.AddColumn(QStringLiteral("CODE"));
    table.AddColumn(QStringLiteral("LINK"));
    table.AddColumn(QStringLiteral("STATE"));
    table.AddColumn(QStringLiteral("PEER"));
    table.AddColumn(QStringLiteral("RX"), TextTable::Right);
    table.AddColumn(QStringLiteral("RX/s"), TextTable::Right);
    table.AddColumn(QStringLiteral("TX"), TextTable::Right);
    table.AddColumn(QStringLiteral("TX/s"), TextTable::Right);
    table.AddColumn(QStringLiteral("REASON"));
    for (const QVariantMap& port : ports) {
        const int slot = port.value(QStringLiteral("slot")).toInt();
        const QString peer = port.value(QStringLiteral("peer")).toString();
        const QString reason = port.value(QStringLiteral("reason")).toString();
        table.AddRow({port.value(QStringLiteral("name")).toString(), port.value(QStringLiteral("code")).toString(),
                      port.value(QStringLiteral("transport")).toString(),
                      port.value(QStringLiteral("state")).toString(), peer.isEmpty() ? QStringLiteral("-") : peer,
                      ByteSize(port.value(QStringLiteral("rx")).toDouble()), Rate(rates, slot, true),
                      ByteSize(port.value(QStringLiteral("tx")).toDouble()), Rate(rates, slot, false),
                      reason.isEmpty() ? port.value(QStringLiteral("net_reason")).toString() : reason});
    }
    return QStringList{TerminalSafe(status)} + table.Lines();
}

PortWatch::PortWatch(PortManagerClient& client, QTextStream& out, bool terminal, int count)
    : client_(client), out_(out), terminal_(terminal), count_(count)
{
}

BusReply PortWatch::Start()
{
    client_.SetCallTimeout(WatchCallTimeoutMs);
    const BusReply reply = client_.ListPorts(ports_);
    if (reply.Ok())
        rates_ = meter_.Sample(ports_, QDateTime::currentMSecsSinceEpoch());
    return reply;
}

QString PortWatch::Status(const QString& problem) const
{
    QString status = QStringLiteral("MV5840VSP  ") + QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    if (!problem.isEmpty())
        return status + QLatin1String("  ") + problem;
    int online = 0;
    int notServed = 0;
    for (const QVariantMap& port : ports_) {
        const QString state = port.value(QStringLiteral("state")).toString();
        online += state == QLatin1String("online");
        notServed += state == QLatin1String("not-served");
    }
    status += QStringLiteral("  %1 ports, %2 online, %3 not served").arg(ports_.size()).arg(online).arg(notServed);
    if (terminal_)
        status += QLatin1String("  (q quits)");
    return status;
}

void PortWatch::Refresh()
{
    QString problem;
    QList<QVariantMap> fresh;
    const BusReply reply = client_.ListPorts(fresh);
    if (reply.Ok()) {
        ports_ = fresh;
        rates_ = meter_.Sample(ports_, QDateTime::currentMSecsSinceEpoch());
    } else {
        // The view stays up: a restarted service comes back into it.
        problem = reply.message;
        ports_.clear();
        rates_.clear();
    }
    Draw(WatchLines(ports_, rates_, Status(problem)));
    if (count_ > 0 && ++frames_ >= count_)
        QCoreApplication::exit(0);
}

void PortWatch::Draw(const QStringList& lines)
{
    if (!terminal_) {
        out_ << lines.join(QLatin1Char('\n')) << "\n\n";
        out_.flush();
        return;
    }
    winsize size{};
    int columns = 80;
    int rows = 24;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        columns = size.ws_col;
        rows = size.ws_row;
    }
    // Whole lines only, so nothing wraps and the top line stays at the top.
    QString frame = QStringLiteral("\x1b[H");
    const int shown = qMin<qsizetype>(lines.size(), rows);
    for (int i = 0; i < shown; ++i) {
        QString line = lines[i];
        if (i + 1 == shown && shown < lines.size())
            line = QStringLiteral("... %1 more ports below; enlarge the window").arg(lines.size() - shown + 1);
        frame += FitWidth(line, columns) + QLatin1String("\x1b[K");
        if (i + 1 < shown)
            frame += QLatin1Char('\n');
    }
    frame += QLatin1String("\x1b[J");
    out_ << frame;
    out_.flush();
}

int PortWatch::Loop()
{
    SignalExit endOnSignal;
    std::optional<KeyboardMode> keyboard;
    std::unique_ptr<QSocketNotifier> keys;
    if (terminal_) {
        keyboard.emplace();
        // The alternate screen, as full-screen programs use, without the cursor.
        out_ << "\x1b[?1049h\x1b[?25l";
        if (keyboard->Active()) {
            keys = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
            QObject::connect(keys.get(), &QSocketNotifier::activated, [&keys] {
                char typed[64];
                const ssize_t got = read(STDIN_FILENO, typed, sizeof typed);
                if (got <= 0) {
                    keys->setEnabled(false);
                    return;
                }
                for (ssize_t i = 0; i < got; ++i)
                    if (typed[i] == 'q' || typed[i] == 'Q')
                        QCoreApplication::exit(0);
            });
        }
    }

    Draw(WatchLines(ports_, rates_, Status(QString())));
    int status = 0;
    if (count_ != 1) {
        frames_ = 1;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [this] { Refresh(); });
        timer.start(RefreshMs);
        status = QCoreApplication::exec();
    }

    if (terminal_) {
        out_ << "\x1b[?25h\x1b[?1049l";
        out_.flush();
    }
    return status;
}
