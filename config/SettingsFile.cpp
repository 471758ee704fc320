#include "config/SettingsFile.h"

#include <QStringList>

namespace {

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c)
{
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// The characters the line reader must look at one by one.
bool IsSpecial(char c)
{
    return c == '\n' || c == '\r' || c == '\\' || c == ';' || c == '"' || c == '=';
}

// One logical line of the file: its text without the comment, and where the key ends.
struct Line {
    QByteArray text;
    qsizetype equals = -1;  // position of the first '=' outside quotes
    bool openQuote = false;
    int number = 0;         // counted from 1
};

// Splits the text into lines. A backslash before the line end joins the next line; ';' at
// the start of a line or outside quotes starts a comment that runs to the line end.
class LineReader {
public:
    explicit LineReader(const QByteArray& data) : data(data) {}

    bool Next(Line& line)
    {
        for (;;) {
            if (pos >= data.size())
                return false;
            line = Line{};
            line.number = ++lineNumber;
            bool inQuotes = false;
            bool comment = false;
            while (pos < data.size()) {
                if (!comment) {
                    const qsizetype start = pos;
                    while (pos < data.size() && !IsSpecial(data[pos]))
                        ++pos;
                    line.text.append(data.constData() + start, pos - start);
                    if (pos >= data.size())
                        break;
                } else {
                    while (pos < data.size() && data[pos] != '\n' && data[pos] != '\r')
                        ++pos;
                    if (pos >= data.size())
                        break;
                }
                const char c = data[pos++];
                if (c == '\n' || c == '\r') {
                    if (c == '\r' && pos < data.size() && data[pos] == '\n')
                        ++pos;
                    break;
                }
                if (comment)
                    continue;
                if (c == '\\' && pos < data.size() && (data[pos] == '\n' || data[pos] == '\r')) {
                    const char end = data[pos++];
                    if (pos < data.size() && (data[pos] == '\n' || data[pos] == '\r') && data[pos] != end)
                        ++pos;
                    ++lineNumber;
                    continue;
                }
                if (c == '\\' && pos < data.size()) {
                    line.text += c;
                    line.text += data[pos++];
                    continue;
                }
                if (c == ';' && !inQuotes) {
                    comment = true;
                    continue;
                }
                if (c == '"')
                    inQuotes = !inQuotes;
                else if (c == '=' && !inQuotes && line.equals < 0)
                    line.equals = line.text.size();
                line.text += c;
            }
            line.openQuote = inQuotes;
            if (!line.text.trimmed().isEmpty())
                return true;
        }
    }

private:
    const QByteArray& data;
    qsizetype pos = 0;
    int lineNumber = 0;
};

// %XX and %UXXXX in keys and section names.
QString UnescapeKey(const QByteArray& raw)
{
    if (!raw.contains('%'))
        return QString::fromUtf8(raw);
    QByteArray bytes;
    QString result;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 5 < raw.size() && raw[i + 1] == 'U' && IsHexDigit(raw[i + 2])
            && IsHexDigit(raw[i + 3]) && IsHexDigit(raw[i + 4]) && IsHexDigit(raw[i + 5])) {
            result += QString::fromUtf8(bytes);
            bytes.clear();
            result += QChar(static_cast<char16_t>((HexValue(raw[i + 2]) << 12) | (HexValue(raw[i + 3]) << 8)
                                                 | (HexValue(raw[i + 4]) << 4) | HexValue(raw[i + 5])));
            i += 5;
        } else if (raw[i] == '%' && i + 2 < raw.size() && IsHexDigit(raw[i + 1]) && IsHexDigit(raw[i + 2])) {
            bytes += static_cast<char>((HexValue(raw[i + 1]) << 4) | HexValue(raw[i + 2]));
            i += 2;
        } else {
            bytes += raw[i];
        }
    }
    return result + QString::fromUtf8(bytes);
}

// "a//b/" as QSettings keeps it: "a/b".
QString NormalizedKey(const QString& key)
{
    if (!key.startsWith(u'/') && !key.endsWith(u'/') && !key.contains(QLatin1String("//")))
        return key;
    return key.split(u'/', Qt::SkipEmptyParts).join(u'/');
}

// A value's text: C escapes, quotes (which keep spaces and commas), and unquoted commas that
// make a list. Unquoted spaces at the ends of each item are dropped.
QVariant UnescapeValue(const QByteArray& raw)
{
    qsizetype begin = 0, end = raw.size();
    while (begin < end && (raw[begin] == ' ' || raw[begin] == '\t'))
        ++begin;
    while (end > begin && (raw[end - 1] == ' ' || raw[end - 1] == '\t'))
        --end;
    const QByteArrayView plain(raw.constData() + begin, end - begin);
    // Most values hold nothing to decode.
    if (!plain.startsWith('@') && !plain.contains('\\') && !plain.contains('"') && !plain.contains(','))
        return QString::fromUtf8(plain);

    QStringList items;
    QString current;
    QByteArray pending;  // UTF-8 bytes not yet added to current
    bool inQuotes = false;
    bool quoted = false;
    bool isList = false;
    qsizetype keep = 0;  // current's length that trailing-space removal must not cut into
    auto flush = [&] {
        current += QString::fromUtf8(pending);
        pending.clear();
    };
    auto chop = [&] {
        flush();
        if (quoted)
            return;
        qsizetype end = current.size();
        while (end > keep && (current[end - 1] == u' ' || current[end - 1] == u'\t'))
            --end;
        current.truncate(end);
    };
    auto skipSpaces = [&](qsizetype& i) {
        while (i < raw.size() && (raw[i] == ' ' || raw[i] == '\t'))
            ++i;
    };

    qsizetype i = 0;
    skipSpaces(i);
    while (i < raw.size()) {
        const char c = raw[i];
        if (c == '\\') {
            flush();
            ++i;
            if (i >= raw.size())
                break;
            const char e = raw[i++];
            static const char escapes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},
                                              {'r', '\r'}, {'t', '\t'}, {'v', '\v'}, {'"', '"'},
                                              {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
            bool known = false;
            for (const auto& pair : escapes) {
                if (e == pair[0]) {
                    current += QChar(pair[1]);
                    known = true;
                    break;
                }
            }
            if (!known && e == 'x') {
                char16_t value = 0;
                while (i < raw.size() && IsHexDigit(raw[i]))
                    value = static_cast<char16_t>((value << 4) | HexValue(raw[i++]));
                current += QChar(value);
            } else if (!known && e >= '0' && e <= '7') {
                char16_t value = static_cast<char16_t>(e - '0');
                while (i < raw.size() && raw[i] >= '0' && raw[i] <= '7')
                    value = static_cast<char16_t>((value << 3) | (raw[i++] - '0'));
                current += QChar(value);
            }
            keep = current.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipSpaces(i);
        } else if (c == ',' && !inQuotes) {
            chop();
            items.append(current);
            current.clear();
            keep = 0;
            quoted = false;
            isList = true;
            ++i;
            skipSpaces(i);
        } else {
            pending += c;
            ++i;
        }
    }
    chop();
    if (isList) {
        items.append(current);
        return items;
    }
    // Typed values: "@@x" is the text "@x"; the types this program never writes do not read.
    if (current.startsWith(u'@')) {
        if (current.startsWith(QLatin1String("@@")))
            return current.mid(1);
        if (current.startsWith(QLatin1String("@String(")) && current.endsWith(u')'))
            return current.mid(8, current.size() - 9);
        if (current.startsWith(QLatin1String("@ByteArray(")) && current.endsWith(u')'))
            return current.mid(11, current.size() - 12);
        static const char* const typed[] = {"@Invalid()", "@Variant(", "@DateTime(", "@Rect(",
                                            "@Size(",     "@Point(",   "@Empty"};
        for (const char* prefix : typed) {
            if (current.startsWith(QLatin1String(prefix)))
                return QVariant();
        }
    }
    return current;
}

}  // namespace

QVariant SettingsFile::Value(const QString& key) const
{
    const auto found = values.constFind(key);
    return found == values.cend() ? QVariant() : UnescapeValue(*found);
}

SettingsFile SettingsFile::Parse(const QByteArray& text)
{
    SettingsFile file;
    LineReader reader(text);
    Line line;
    QString section;       // "" for the top level, else "name/"
    bool skipping = false;  // after a section header that could not be read
    QString emptySection;  // the section just opened, while it has no key yet
    QSet<QString> withKeys;
    auto fault = [&file](int number) {
        if (file.faultLine == 0)
            file.faultLine = number;
    };
    auto closeSection = [&file, &emptySection] {
        if (!emptySection.isEmpty())
            file.bareGroups.insert(emptySection);
        emptySection.clear();
    };

    while (reader.Next(line)) {
        if (line.openQuote) {
            fault(line.number);
            continue;
        }
        const QByteArray trimmed = line.text.trimmed();
        if (trimmed.startsWith('[')) {
            closeSection();
            if (!trimmed.endsWith(']')) {
                fault(line.number);
                skipping = true;
                continue;
            }
            skipping = false;
            const QByteArray name = trimmed.mid(1, trimmed.size() - 2).trimmed();
            if (name.compare("general", Qt::CaseInsensitive) == 0) {
                section.clear();
                continue;
            }
            const QString group = NormalizedKey(name.compare("%general", Qt::CaseInsensitive) == 0
                                                    ? QString::fromLatin1(name.mid(1))
                                                    : UnescapeKey(name));
            section = group.isEmpty() ? QString() : group + u'/';
            if (!group.isEmpty()) {
                file.groups.insert(group.section(u'/', 0, 0));
                emptySection = group;
            }
            continue;
        }
        if (line.equals < 0) {
            // A '#' line is a comment to QSettings too.
            if (!trimmed.startsWith('#'))
                fault(line.number);
            continue;
        }
        if (skipping)
            continue;
        const QString name = UnescapeKey(line.text.left(line.equals).trimmed());
        const QString key = NormalizedKey(section + name);
        if (key.isEmpty())
            continue;
        // A plain name in a section that already has a key adds no group.
        if (name.contains(u'/') || !emptySection.isEmpty()) {
            if (key.contains(u'/')) {
                file.groups.insert(key.section(u'/', 0, 0));
                withKeys.insert(key.section(u'/', 0, -2));
            }
        }
        emptySection.clear();
        file.values.insert(key, line.text.mid(line.equals + 1));
    }
    closeSection();
    file.bareGroups.subtract(withKeys);
    return file;
}
