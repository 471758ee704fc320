#include "ui/MonitorLine.h"

#include <QDateTime>
#include <QRegularExpression>
#include <limits>

#include "format/SafeText.h"
#include "format/TraceFormat.h"

namespace {

QString Text(const std::string& text)
{
    return TerminalSafe(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

QString LocalTime(qint64 timeUs)
{
    // Floor division, so that a time before the epoch still has 0 to 999999 microseconds.
    qint64 seconds = timeUs / 1000000;
    qint64 micro = timeUs % 1000000;
    if (micro < 0) {
        micro += 1000000;
        --seconds;
    }
    // A trace's records come in order, many a second: the local time of a second is worked
    // out once (a time zone's rules cost more than the rest of the line).
    static qint64 shownSeconds = std::numeric_limits<qint64>::min();
    static QString shownText;
    if (seconds != shownSeconds) {
        shownText =
            QDateTime::fromSecsSinceEpoch(seconds, Qt::LocalTime).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        shownSeconds = seconds;
    }
    return shownText + QStringLiteral(".%1").arg(micro, 6, 10, QLatin1Char('0'));
}

// Why a port went offline or its connection ended, as the data path words it in English.
QString Why(const std::string& english)
{
    static const QRegularExpression noReport(QStringLiteral("^no report for (\\d+) s$"));
    const QString text = Text(english);
    if (const auto match = noReport.match(text); match.hasMatch())
        return QStringLiteral("%1秒未收到DTU的数据").arg(match.captured(1));
    if (text == QLatin1String("connection closed"))
        return QStringLiteral("对方关闭了连接");
    return text;  // the system's own reason
}

QString Event(const TraceRecord& record)
{
    const QString count = QString::number(record.count);
    switch (record.kind) {
    case TraceKind::FromDtu: return QStringLiteral("收到 %1字节").arg(record.bytes.size());
    case TraceKind::FromApplication: return QStringLiteral("发送 %1字节").arg(record.bytes.size());
    case TraceKind::Login: return QStringLiteral("登录 ") + Text(record.text);
    case TraceKind::Online: return QStringLiteral("上线");
    case TraceKind::Offline: return QStringLiteral("离线：") + Why(record.text);
    case TraceKind::TcpConnect: return QStringLiteral("正在连接 ") + Text(record.text);
    case TraceKind::TcpRefused: return QStringLiteral("TCP连接失败：") + Why(record.text);
    case TraceKind::TcpUp: return QStringLiteral("TCP已连接 ") + Text(record.text);
    case TraceKind::TcpDown: return QStringLiteral("TCP连接已断开：") + Why(record.text);
    case TraceKind::BytesDropped: return QStringLiteral("丢弃 %1字节：应用程序没有及时读取").arg(count);
    case TraceKind::Oversized:
        return QStringLiteral("来自%1的数据包长%2字节，过长，未接收").arg(Text(record.text), count);
    case TraceKind::UnknownCode:
        return QStringLiteral("来自%1的数据包（%2字节）的编码“%3”不属于任何端口")
            .arg(Text(record.text), count, EscapedText(record.bytes));
    case TraceKind::RecordsLost: return QStringLiteral("监视跟不上，%1条记录未显示").arg(count);
    }
    return {};
}

}  // namespace

QString MonitorLine(const TraceRecord& record)
{
    const QString port = record.slot == 0 ? QStringLiteral("-") : QStringLiteral("COM%1").arg(record.number);
    const QString line = LocalTime(record.timeUs) + QLatin1Char(' ') + port + QLatin1Char(' ') + Event(record);
    const bool data = record.kind == TraceKind::FromDtu || record.kind == TraceKind::FromApplication;
    if (!data || record.bytes.empty())
        return line;
    return line + QLatin1String("  ") + HexText(record.bytes) + QLatin1String("  |") + DumpText(record.bytes)
           + QLatin1Char('|');
}
