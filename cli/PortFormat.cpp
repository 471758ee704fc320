#include "cli/PortFormat.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include "link/PortStatistics.h"

#include <algorithm>

namespace {

// The keys in the order a person reads them: the port, then its statistics.
const QStringList KnownKeys = [] {
    QStringList keys = {
        "slot", "number", "name",       "code",     "transport", "fixed_ip", "peer",   "online", "rx",
        "tx",   "device", "last_heard", "interval", "frame_gap", "state",    "reason", "in_use",
    };
    keys << "net_port"
         << "net_mode"
         << "net_client"
         << "net_reason";
    for (const StatisticsCounter& counter : PortCounters)
        if (!keys.contains(QLatin1String(counter.key)))
            keys << QLatin1String(counter.key);
    keys << QLatin1String(StatisticsKeys::LastError) << QLatin1String(StatisticsKeys::LastErrorTime);
    return keys;
}();

// Keys the window's front end reads (the reasons as data, the stored address): the reason
// and last_error texts say the same to people.
bool ForFrontEnds(const QString& key)
{
    static const QRegularExpression data(QStringLiteral("^(reason|last_error)_(kind|subject|detail|errno)$"));
    return key == QLatin1String("peer_ip") || key == QLatin1String("login_address") || data.match(key).hasMatch();
}

// Keys whose value is a time in ms since the epoch, -1 for none.
bool IsTimeKey(const QString& key)
{
    return key == QLatin1String("last_heard") || key == QLatin1String(StatisticsKeys::LastErrorTime);
}

bool IsWide(char32_t c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) || (c >= 0x3041 && c <= 0x33FF)
           || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF)
           || (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F)
           || (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F)
           || (c >= 0x20000 && c <= 0x3FFFD);
}

int CharWidth(char32_t c)
{
    const QChar::Category category = QChar::category(c);
    if (category == QChar::Mark_NonSpacing || category == QChar::Mark_Enclosing || category == QChar::Other_Format)
        return 0;
    return IsWide(c) ? 2 : 1;
}

QString Padded(const QString& cell, int width, TextTable::Align align)
{
    const QString fill(qMax(0, width - DisplayWidth(cell)), QLatin1Char(' '));
    return align == TextTable::Left ? cell + fill : fill + cell;
}

QString Text(const QVariantMap& port, const char* key)
{
    return port.value(QLatin1String(key)).toString();
}

QString OrDash(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString YesNo(const QVariant& value)
{
    return value.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
}

QString DisplayValue(const QString& key, const QVariant& value)
{
    if (value.typeId() == QMetaType::Bool)
        return YesNo(value);
    if (IsTimeKey(key)) {
        const QString heard = LastHeardText(value.toLongLong());
        return heard.isEmpty() ? QStringLiteral("never") : heard;
    }
    return value.toString();
}

}  // namespace

void TextTable::AddColumn(const QString& header, Align align)
{
    headers_ << header;
    aligns_ << align;
}

void TextTable::AddRow(const QStringList& cells)
{
    QStringList safe;
    for (const QString& cell : cells)
        safe << TerminalSafe(cell);
    rows_ << safe;
}

QStringList TextTable::Lines() const
{
    QList<int> widths;
    for (const QString& header : headers_)
        widths << DisplayWidth(header);
    for (const QStringList& row : rows_)
        for (int i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = qMax(widths[i], DisplayWidth(row[i]));

    auto line = [&](const QStringList& cells) {
        QStringList padded;
        for (int i = 0; i < headers_.size(); ++i) {
            // The last column is not padded, so lines carry no trailing blanks.
            const QString cell = cells.value(i);
            padded << (i + 1 == headers_.size() && aligns_[i] == Left ? cell : Padded(cell, widths[i], aligns_[i]));
        }
        return padded.join(QLatin1String("  "));
    };
    QStringList lines{line(headers_)};
    for (const QStringList& row : rows_)
        lines << line(row);
    return lines;
}

int DisplayWidth(const QString& text)
{
    int width = 0;
    for (char32_t c : text.toUcs4())
        width += CharWidth(c);
    return width;
}

QString FitWidth(const QString& text, int width)
{
    QString fitted;
    int used = 0;
    for (char32_t c : text.toUcs4()) {
        used += CharWidth(c);
        if (used > width)
            break;
        fitted += QString::fromUcs4(&c, 1);
    }
    return fitted;
}

QString PortTableText(const QList<QVariantMap>& ports)
{
    TextTable table;
    table.AddColumn(QStringLiteral("SLOT"), TextTable::Right);
    table.AddColumn(QStringLiteral("PORT"));
    table.AddColumn(QStringLiteral("CODE"));
    table.AddColumn(QStringLiteral("LINK"));
    table.AddColumn(QStringLiteral("FIXED IP"));
    table.AddColumn(QStringLiteral("PEER"));
    table.AddColumn(QStringLiteral("ONLINE"));
    table.AddColumn(QStringLiteral("RX"), TextTable::Right);
    table.AddColumn(QStringLiteral("TX"), TextTable::Right);
    table.AddColumn(QStringLiteral("STATE"));
    table.AddColumn(QStringLiteral("DEVICE / REASON"));
    for (const QVariantMap& port : ports) {
        const QString reason = Text(port, "reason");
        // A port served without its network server says why after its device.
        const QString netReason = Text(port, "net_reason");
        table.AddRow({Text(port, "slot"), Text(port, "name"), Text(port, "code"), Text(port, "transport"),
                      OrDash(Text(port, "fixed_ip")), OrDash(Text(port, "peer")), YesNo(port.value("online")),
                      Text(port, "rx"), Text(port, "tx"), Text(port, "state"),
                      reason.isEmpty()
                          ? OrDash(Text(port, "device")) + (netReason.isEmpty() ? QString() : "; " + netReason)
                          : reason});
    }
    return table.Lines().join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString PortDetailsText(const QVariantMap& port)
{
    QStringList keys;
    for (const QString& key : KnownKeys)
        if (port.contains(key))
            keys << key;
    for (auto it = port.begin(); it != port.end(); ++it)
        if (!KnownKeys.contains(it.key()) && !ForFrontEnds(it.key()))
            keys << it.key();

    int width = 0;
    for (const QString& key : keys)
        width = qMax(width, DisplayWidth(TerminalSafe(key)));
    QString text;
    for (const QString& key : keys) {
        const QString label = TerminalSafe(key) + QLatin1Char(':');
        text += Padded(label, width + 2, TextTable::Left) + TerminalSafe(DisplayValue(key, port.value(key)))
                + QLatin1Char('\n');
    }
    return text;
}

QString PortLabel(const QVariantMap& port)
{
    const QString code = Text(port, "code");
    return QStringLiteral("%1 (slot %2, %3)")
        .arg(Text(port, "name"), Text(port, "slot"),
             code.isEmpty() ? QStringLiteral("no code") : QLatin1String("code ") + code);
}

QString PortNamesText(const QList<QVariantMap>& ports)
{
    QString text;
    for (const QVariantMap& port : ports) {
        // A code with a blank or a control character cannot be completed as one word.
        const QString code = Text(port, "code");
        const bool plainCode = !code.isEmpty() && std::none_of(code.begin(), code.end(), [](QChar c) {
            return c.isSpace() || c.unicode() < 0x20 || c.unicode() == 0x7F;
        });
        text += Text(port, "number") + (plainCode ? QLatin1Char(' ') + code : QString()) + QLatin1Char('\n');
    }
    return text;
}

QString LastHeardText(qint64 ms)
{
    if (ms < 0)
        return {};
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonObject PortJson(const QVariantMap& port)
{
    QJsonObject object;
    for (auto it = port.begin(); it != port.end(); ++it) {
        QVariant value = it.value();
        if (IsTimeKey(it.key()))
            value = LastHeardText(value.toLongLong());
        // One rule for every text: nothing there is null, never "".
        if (value.typeId() == QMetaType::QString && value.toString().isEmpty())
            object.insert(it.key(), QJsonValue::Null);
        else
            object.insert(it.key(), QJsonValue::fromVariant(value));
    }
    return object;
}

QByteArray PortsJsonText(const QList<QVariantMap>& ports)
{
    QJsonArray array;
    for (const QVariantMap& port : ports)
        array.append(PortJson(port));
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

QByteArray PortJsonText(const QVariantMap& port)
{
    return QJsonDocument(PortJson(port)).toJson(QJsonDocument::Indented);
}

QString ByteSize(double bytes)
{
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return QString::number(qRound64(bytes)) + QLatin1String(" B");
    int unit = -1;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    return QString::number(bytes, 'f', 1) + QLatin1Char(' ') + QLatin1String(units[unit]);
}
