#include "format/TraceFormat.h"

#include <QDateTime>
#include <QJsonDocument>

#include "format/SafeText.h"

namespace {

bool Printable(uint8_t byte)
{
    return byte >= 0x20 && byte < 0x7F;
}

QString Text(const std::string& text)
{
    return TerminalSafe(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

QString PortText(const TraceRecord& record)
{
    return record.slot == 0 ? QStringLiteral("-") : QStringLiteral("COM%1").arg(record.number);
}

QString KindName(TraceKind kind)
{
    const std::string_view name = TraceKindName(kind);
    return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

bool IsData(TraceKind kind)
{
    return kind == TraceKind::FromDtu || kind == TraceKind::FromApplication;
}

QString Plural(quint64 count, const char* one, const char* many)
{
    return QString::number(count) + QLatin1Char(' ') + QLatin1String(count == 1 ? one : many);
}

// What follows the kind's name in a line.
QString Details(const TraceRecord& record)
{
    switch (record.kind) {
    case TraceKind::FromDtu: return Plural(record.bytes.size(), "byte", "bytes");
    case TraceKind::FromApplication:
        return Plural(record.bytes.size(), "byte", "bytes")
               + (record.text.empty() ? QString() : QLatin1String(" from network client ") + Text(record.text));
    case TraceKind::NetConnect:
    case TraceKind::NetDisconnect:
    case TraceKind::NetRefused: return Text(record.text);
    case TraceKind::Online: return {};
    case TraceKind::Login:
    case TraceKind::Offline:
    case TraceKind::TcpConnect:
    case TraceKind::TcpRefused:
    case TraceKind::TcpUp:
    case TraceKind::TcpDown: return Text(record.text);
    case TraceKind::BytesDropped: return Plural(record.count, "byte", "bytes");
    case TraceKind::Oversized:
        return Plural(record.count, "byte", "bytes") + QLatin1String(" from ") + Text(record.text);
    case TraceKind::UnknownCode:
        return QLatin1String("code \"") + EscapedText(record.bytes).replace(QLatin1Char('"'), QLatin1String("\\x22"))
               + QLatin1String("\", ") + Plural(record.count, "byte", "bytes") + QLatin1String(" from ")
               + Text(record.text);
    case TraceKind::RecordsLost: return Plural(record.count, "trace record", "trace records");
    }
    return {};
}

}  // namespace

QString TraceTimeText(qint64 timeUs)
{
    // Floor division, so that a time before the epoch still has 0 to 999999 microseconds.
    qint64 seconds = timeUs / 1000000;
    qint64 micro = timeUs % 1000000;
    if (micro < 0) {
        micro += 1000000;
        --seconds;
    }
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"))
           + QStringLiteral(".%1Z").arg(micro, 6, 10, QLatin1Char('0'));
}

QString HexText(const std::vector<uint8_t>& bytes)
{
    // Written in place: a trace shows thousands of bytes a second, and a formatted number
    // per byte costs more than the rest of the line.
    static constexpr char Digits[] = "0123456789abcdef";
    if (bytes.empty())
        return {};
    QString text(static_cast<qsizetype>(bytes.size() * 3 - 1), QLatin1Char(' '));
    QChar* out = text.data();
    for (size_t i = 0; i < bytes.size(); ++i) {
        out[3 * i] = QLatin1Char(Digits[bytes[i] >> 4]);
        out[3 * i + 1] = QLatin1Char(Digits[bytes[i] & 0x0F]);
    }
    return text;
}

QString DumpText(const std::vector<uint8_t>& bytes)
{
    QString text(static_cast<qsizetype>(bytes.size()), QLatin1Char('.'));
    QChar* out = text.data();
    for (uint8_t byte : bytes) {
        if (Printable(byte))
            *out = QLatin1Char(static_cast<char>(byte));
        ++out;
    }
    return text;
}

QString EscapedText(const std::vector<uint8_t>& bytes)
{
    QString text;
    for (uint8_t byte : bytes) {
        if (byte == '\\')
            text += QLatin1String("\\\\");
        else if (byte == '\r')
            text += QLatin1String("\\r");
        else if (byte == '\n')
            text += QLatin1String("\\n");
        else if (byte == '\t')
            text += QLatin1String("\\t");
        else if (Printable(byte))
            text += QLatin1Char(static_cast<char>(byte));
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    return text;
}

QString TraceEventText(const TraceRecord& record)
{
    const QString details = Details(record);
    return details.isEmpty() ? KindName(record.kind) : KindName(record.kind) + QLatin1Char(' ') + details;
}

QString TraceLine(const TraceRecord& record, TraceStyle style)
{
    if (style == TraceStyle::Json)
        return QString::fromUtf8(QJsonDocument(TraceJson(record)).toJson(QJsonDocument::Compact));
    QString line = TraceTimeText(record.timeUs) + QLatin1Char(' ') + PortText(record) + QLatin1Char(' ')
                   + TraceEventText(record);
    if (!IsData(record.kind) || record.bytes.empty())
        return line;
    switch (style) {
    case TraceStyle::HexAndText:
        return line + QLatin1String("  ") + HexText(record.bytes) + QLatin1String("  |") + DumpText(record.bytes)
               + QLatin1Char('|');
    case TraceStyle::Text: return line + QLatin1String("  ") + EscapedText(record.bytes);
    case TraceStyle::Hex: return line + QLatin1String("  ") + HexText(record.bytes);
    case TraceStyle::Json: break;
    }
    return line;
}

QJsonObject TraceJson(const TraceRecord& record)
{
    QJsonObject object;
    object.insert(QStringLiteral("time"), TraceTimeText(record.timeUs));
    object.insert(QStringLiteral("time_us"), static_cast<qint64>(record.timeUs));
    object.insert(QStringLiteral("slot"), record.slot == 0 ? QJsonValue() : QJsonValue(record.slot));
    object.insert(QStringLiteral("port"), record.slot == 0 ? QJsonValue() : QJsonValue(PortText(record)));
    object.insert(QStringLiteral("event"), KindName(record.kind));
    const QString text = QString::fromUtf8(record.text.data(), static_cast<qsizetype>(record.text.size()));
    const auto count = static_cast<qint64>(record.count);
    switch (record.kind) {
    case TraceKind::FromDtu:
    case TraceKind::FromApplication:
        object.insert(QStringLiteral("length"), static_cast<qint64>(record.bytes.size()));
        object.insert(QStringLiteral("hex"), HexText(record.bytes).remove(QLatin1Char(' ')));
        if (!record.text.empty())
            object.insert(QStringLiteral("client"), text);
        break;
    case TraceKind::NetConnect: object.insert(QStringLiteral("address"), text); break;
    case TraceKind::NetDisconnect:
    case TraceKind::NetRefused: object.insert(QStringLiteral("reason"), text); break;
    case TraceKind::Online: break;
    case TraceKind::Login:
    case TraceKind::TcpConnect:
    case TraceKind::TcpUp: object.insert(QStringLiteral("address"), text); break;
    case TraceKind::Offline:
    case TraceKind::TcpRefused:
    case TraceKind::TcpDown: object.insert(QStringLiteral("reason"), text); break;
    case TraceKind::BytesDropped: object.insert(QStringLiteral("bytes"), count); break;
    case TraceKind::Oversized:
        object.insert(QStringLiteral("source"), text);
        object.insert(QStringLiteral("length"), count);
        break;
    case TraceKind::UnknownCode:
        object.insert(QStringLiteral("source"), text);
        object.insert(QStringLiteral("length"), count);
        object.insert(QStringLiteral("code"), EscapedText(record.bytes));
        object.insert(QStringLiteral("code_hex"), HexText(record.bytes).remove(QLatin1Char(' ')));
        break;
    case TraceKind::RecordsLost: object.insert(QStringLiteral("records"), count); break;
    }
    return object;
}
