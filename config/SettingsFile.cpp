#include "config/SettingsFile.h"

#include <QStringList>

#include <algorithm>

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

// One logical line of the file (a line with its backslash continuations): its text without
// the comment, where the key ends, and where it stands in the file.
struct RawLine {
    QByteArray text;
    qsizetype equals = -1;  // position in text of the first '=' outside quotes
    bool openQuote = false;
    bool comment = false;  // a ';' comment is on the line
    int number = 0;        // counted from 1
    qsizetype begin = 0;
    qsizetype contentEnd = 0;
    qsizetype end = 0;
    qsizetype commentBegin = -1;
};

// Splits the text into lines, blank and comment lines included. A backslash before the line
// end joins the next line; ';' at the start of a line or outside quotes starts a comment that
// runs to the line end.
class LineReader {
public:
    LineReader(const QByteArray& data, qsizetype start) : data_(data), pos_(start) {}

    bool Next(RawLine& line)
    {
        if (pos_ >= data_.size())
            return false;
        line = RawLine{};
        line.number = ++lineNumber_;
        line.begin = pos_;
        line.contentEnd = line.end = data_.size();
        bool inQuotes = false;
        while (pos_ < data_.size()) {
            if (!line.comment) {
                const qsizetype start = pos_;
                while (pos_ < data_.size() && !IsSpecial(data_[pos_]))
                    ++pos_;
                line.text.append(data_.constData() + start, pos_ - start);
                if (pos_ >= data_.size())
                    break;
            } else {
                while (pos_ < data_.size() && data_[pos_] != '\n' && data_[pos_] != '\r')
                    ++pos_;
                if (pos_ >= data_.size())
                    break;
            }
            const char c = data_[pos_++];
            if (c == '\n' || c == '\r') {
                line.contentEnd = pos_ - 1;
                if (c == '\r' && pos_ < data_.size() && data_[pos_] == '\n')
                    ++pos_;
                line.end = pos_;
                break;
            }
            if (line.comment)
                continue;
            if (c == '\\' && pos_ < data_.size() && (data_[pos_] == '\n' || data_[pos_] == '\r')) {
                const char end = data_[pos_++];
                if (pos_ < data_.size() && (data_[pos_] == '\n' || data_[pos_] == '\r') && data_[pos_] != end)
                    ++pos_;
                ++lineNumber_;
                continue;
            }
            if (c == '\\' && pos_ < data_.size()) {
                line.text += c;
                line.text += data_[pos_++];
                continue;
            }
            if (c == ';' && !inQuotes) {
                line.comment = true;
                line.commentBegin = pos_ - 1;
                continue;
            }
            if (c == '"')
                inQuotes = !inQuotes;
            else if (c == '=' && !inQuotes && line.equals < 0)
                line.equals = line.text.size();
            line.text += c;
        }
        line.openQuote = inQuotes;
        return true;
    }

private:
    const QByteArray& data_;
    qsizetype pos_ = 0;
    int lineNumber_ = 0;
};

// %XX and %UXXXX in keys and section names; a backslash is the '/' of a key in a subgroup.
QString UnescapeKey(const QByteArray& raw)
{
    if (!raw.contains('%') && !raw.contains('\\'))
        return QString::fromUtf8(raw);
    QByteArray bytes;
    QString result;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 5 < raw.size() && raw[i + 1] == 'U' && IsHexDigit(raw[i + 2]) && IsHexDigit(raw[i + 3])
            && IsHexDigit(raw[i + 4]) && IsHexDigit(raw[i + 5])) {
            result += QString::fromUtf8(bytes);
            bytes.clear();
            result += QChar(static_cast<char16_t>((HexValue(raw[i + 2]) << 12) | (HexValue(raw[i + 3]) << 8)
                                                  | (HexValue(raw[i + 4]) << 4) | HexValue(raw[i + 5])));
            i += 5;
        } else if (raw[i] == '%' && i + 2 < raw.size() && IsHexDigit(raw[i + 1]) && IsHexDigit(raw[i + 2])) {
            bytes += static_cast<char>((HexValue(raw[i + 1]) << 4) | HexValue(raw[i + 2]));
            i += 2;
        } else {
            bytes += raw[i] == '\\' ? '/' : raw[i];
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
            static const char escapes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                              {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
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

// A key or section name as QSettings writes it: '/' as a backslash, anything beyond letters,
// digits, '_', '-' and '.' %-encoded.
QByteArray EscapedKey(const QString& key)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray result;
    for (const QChar qc : key) {
        const char16_t c = qc.unicode();
        if (c == u'/') {
            result += '\\';
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_'
                   || c == u'-' || c == u'.') {
            result += static_cast<char>(c);
        } else if (c <= 0xff) {
            result += '%';
            result += hex[c >> 4];
            result += hex[c & 15];
        } else {
            result += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                result += hex[(c >> shift) & 15];
        }
    }
    return result;
}

QString ParentOf(const QString& key)
{
    const qsizetype slash = key.lastIndexOf(u'/');
    return slash < 0 ? QString() : key.left(slash);
}

}  // namespace

QByteArray SettingsFile::EscapedValue(const QString& value)
{
    QString text = value;
    QByteArray wrapEnd;
    QByteArray result;
    if (text.contains(QChar(0))) {
        result = "@String(";
        wrapEnd = ")";
    } else if (text.startsWith(u'@')) {
        text.prepend(u'@');
    }
    const qsizetype start = result.size();
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;  // after "\x1" or "\0" a hex digit would join the escape
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u';' || c == u',' || c == u'=')
            needsQuotes = true;
        if (escapeNextIfDigit && c < 0x80 && IsHexDigit(static_cast<char>(c))) {
            result += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (c) {
        case u'\0':
            result += "\\0";
            escapeNextIfDigit = true;
            break;
        case u'\a': result += "\\a"; break;
        case u'\b': result += "\\b"; break;
        case u'\f': result += "\\f"; break;
        case u'\n': result += "\\n"; break;
        case u'\r': result += "\\r"; break;
        case u'\t': result += "\\t"; break;
        case u'\v': result += "\\v"; break;
        case u'"':
        case u'\\':
            result += '\\';
            result += static_cast<char>(c);
            break;
        default:
            if (c <= 0x1f) {
                result += "\\x" + QByteArray::number(c, 16);
                escapeNextIfDigit = true;
            } else if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
                result += QStringView(text).mid(i, 2).toUtf8();
                ++i;
            } else {
                result += QStringView(text).mid(i, 1).toUtf8();
            }
        }
    }
    if (needsQuotes || (result.size() > start && (result[start] == ' ' || result.back() == ' '))) {
        result.insert(start, '"');
        result += '"';
    }
    return result + wrapEnd;
}

QVariant SettingsFile::Value(const QString& key) const
{
    const auto found = values_.constFind(Folded(key));
    return found == values_.cend() ? QVariant() : UnescapeValue(*found);
}

SettingsFile SettingsFile::Parse(const QByteArray& text)
{
    SettingsFile file;
    file.text_ = text;
    // QSettings skips a byte-order mark; it stays in the text.
    LineReader reader(file.text_, file.text_.startsWith("\xef\xbb\xbf") ? 3 : 0);
    RawLine raw;
    QString section;        // "" for the top level, else "name/"
    bool skipping = false;  // after a section header that could not be read
    auto fault = [&file](int number) {
        if (file.faultLine_ == 0)
            file.faultLine_ = number;
    };

    while (reader.Next(raw)) {
        Line& line = file.lines_.emplace_back();
        line.begin = raw.begin;
        line.contentEnd = raw.contentEnd;
        line.end = raw.end;
        const QByteArray trimmed = raw.text.trimmed();
        if (raw.openQuote) {
            line.kind = Line::Kind::Fault;
            fault(raw.number);
            continue;
        }
        if (trimmed.isEmpty()) {
            line.kind = raw.comment ? Line::Kind::Comment : Line::Kind::Blank;
            continue;
        }
        if (trimmed.startsWith('[')) {
            if (!trimmed.endsWith(']')) {
                line.kind = Line::Kind::Fault;
                fault(raw.number);
                skipping = true;
                continue;
            }
            skipping = false;
            line.kind = Line::Kind::Section;
            const QByteArray name = trimmed.mid(1, trimmed.size() - 2).trimmed();
            const QString group = name.compare("general", Qt::CaseInsensitive) == 0
                                      ? QString()
                                      : NormalizedKey(name.compare("%general", Qt::CaseInsensitive) == 0
                                                          ? QString::fromLatin1(name.mid(1))
                                                          : UnescapeKey(name));
            section = group.isEmpty() ? QString() : group + u'/';
            line.path = Folded(group);
            if (!group.isEmpty())
                file.groups_.insert(Folded(group.section(u'/', 0, 0)));
            continue;
        }
        if (raw.equals < 0) {
            // A '#' line is skipped by QSettings too: a comment.
            line.kind = trimmed.startsWith('#') ? Line::Kind::Comment : Line::Kind::Fault;
            if (line.kind == Line::Kind::Fault)
                fault(raw.number);
            continue;
        }
        const QString key = NormalizedKey(section + UnescapeKey(raw.text.left(raw.equals).trimmed()));
        // Under a header that could not be read, or with no name: nothing QSettings keeps.
        if (skipping || key.isEmpty()) {
            line.kind = skipping ? Line::Kind::Fault : Line::Kind::Comment;
            continue;
        }
        line.kind = Line::Kind::Key;
        line.path = Folded(key);
        line.prefix = Folded(section);
        line.commentBegin = raw.commentBegin;
        if (key.contains(u'/'))
            file.groups_.insert(Folded(key.section(u'/', 0, 0)));
        file.values_.insert(line.path, raw.text.mid(raw.equals + 1));
    }
    return file;
}

QByteArray SettingsFile::LineEnd() const
{
    const qsizetype newline = text_.indexOf('\n');
    return newline > 0 && text_[newline - 1] == '\r' ? QByteArray("\r\n") : QByteArray("\n");
}

void SettingsFile::Apply(std::vector<Splice> splices)
{
    if (splices.empty())
        return;
    // An insertion before the removal of the line that starts where it goes.
    std::sort(splices.begin(), splices.end(),
              [](const Splice& a, const Splice& b) { return a.begin != b.begin ? a.begin < b.begin : a.end < b.end; });
    QByteArray edited;
    edited.reserve(text_.size() + 256);
    qsizetype done = 0;
    for (const Splice& splice : splices) {
        edited.append(text_.constData() + done, splice.begin - done);
        edited += splice.bytes;
        done = splice.end;
    }
    edited.append(text_.constData() + done, text_.size() - done);
    *this = Parse(edited);
}

void SettingsFile::SetValue(const QString& key, const QString& value)
{
    const qsizetype slash = key.lastIndexOf(u'/');
    SetValues(slash < 0 ? QString() : key.left(slash), {{key.mid(slash + 1), value}});
}

void SettingsFile::SetValues(const QString& group, const std::vector<std::pair<QString, QString>>& named)
{
    const QString parent = Folded(group);
    const QString groupPrefix = group.isEmpty() ? QString() : group + u'/';
    const QByteArray eol = LineEnd();
    std::vector<Splice> splices;
    std::vector<std::pair<QString, QByteArray>> added;  // keys not in the file yet, escaped values
    for (const auto& [name, value] : named) {
        const QString key = groupPrefix + name;
        const QString path = Folded(key);
        const QByteArray escaped = EscapedValue(value);
        std::vector<const Line*> earlier;
        const Line* last = nullptr;
        for (const Line& line : lines_) {
            if (line.kind != Line::Kind::Key || line.path != path)
                continue;
            if (last)
                earlier.push_back(last);
            last = &line;
        }
        if (!last) {
            added.emplace_back(key, escaped);
            continue;
        }
        // Left alone when it holds this text already, in whatever letter case it names the key.
        const QVariant held = Value(key);
        if (held.typeId() == QMetaType::QString && held.toString() == value)
            continue;
        for (const Line* line : earlier)
            splices.push_back({line->begin, line->end, {}});
        // The key as the line spells it (its letter case, the spaces around '='), then the value.
        const QByteArray content = text_.mid(last->begin, last->contentEnd - last->begin);
        qsizetype valueBegin = content.indexOf('=') + 1;
        while (valueBegin < content.size() && (content[valueBegin] == ' ' || content[valueBegin] == '\t'))
            ++valueBegin;
        QByteArray bytes = content.left(valueBegin) + escaped;
        if (last->commentBegin >= 0)
            bytes += ' ' + text_.mid(last->commentBegin, last->contentEnd - last->commentBegin);
        splices.push_back({last->begin, last->contentEnd, bytes});
    }
    if (added.empty()) {
        Apply(std::move(splices));
        return;
    }

    // After the last key of the group in a section its keys fit in, else after the group's
    // last header, else in a section of its own.
    const Line* anchor = nullptr;
    QString prefix;
    for (const Line& line : lines_) {
        if (line.kind == Line::Kind::Key && ParentOf(line.path) == parent && (parent + u'/').startsWith(line.prefix)) {
            anchor = &line;
            prefix = line.prefix;
        }
    }
    if (!anchor) {
        prefix = groupPrefix;
        for (const Line& line : lines_) {
            if (line.kind == Line::Kind::Section && line.path == parent)
                anchor = &line;
        }
    }
    QByteArray keyLines;
    for (const auto& [key, escaped] : added)
        keyLines += EscapedKey(key.mid(prefix.size())) + '=' + escaped + eol;
    if (anchor) {
        splices.push_back(
            {anchor->end, anchor->end, (anchor->end == anchor->contentEnd ? eol : QByteArray()) + keyLines});
    } else if (parent.isEmpty() && std::any_of(lines_.begin(), lines_.end(), [](const Line& line) {
                   return line.kind == Line::Kind::Section;
               })) {
        // QSettings keeps the top level first: before the first section and the comments
        // right above it.
        size_t first = 0;
        while (lines_[first].kind != Line::Kind::Section)
            ++first;
        while (first > 0 && lines_[first - 1].kind == Line::Kind::Comment)
            --first;
        splices.push_back({lines_[first].begin, lines_[first].begin, "[General]" + eol + keyLines + eol});
    } else {
        QByteArray bytes;
        if (!text_.isEmpty() && !text_.endsWith('\n') && !text_.endsWith('\r'))
            bytes += eol;
        if (!lines_.empty() && lines_.back().kind != Line::Kind::Blank)
            bytes += eol;
        bytes += '[' + (parent.isEmpty() ? QByteArray("General") : EscapedKey(group)) + ']' + eol;
        splices.push_back({text_.size(), text_.size(), bytes + keyLines});
    }
    Apply(std::move(splices));
}

void SettingsFile::Remove(const QString& key)
{
    const QString path = Folded(key);
    std::vector<Splice> splices;
    for (const Line& line : lines_) {
        if (line.kind == Line::Kind::Key && line.path == path)
            splices.push_back({line.begin, line.end, {}});
    }
    Apply(std::move(splices));
}

void SettingsFile::RemoveGroup(const QString& group)
{
    const QString path = Folded(group);
    auto inGroup = [&path](const QString& name) {
        return name == path || (name.startsWith(path) && name.size() > path.size() && name[path.size()] == u'/');
    };
    std::vector<Splice> splices;
    bool removedSection = false;  // within a section of the group that holds no comment
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == Line::Kind::Section) {
            removedSection = false;
            if (!inGroup(line.path))
                continue;
            splices.push_back({line.begin, line.end, {}});
            removedSection = true;
            for (size_t k = i + 1; k < lines_.size() && lines_[k].kind != Line::Kind::Section; ++k)
                removedSection = removedSection && lines_[k].kind != Line::Kind::Comment;
        } else if ((line.kind == Line::Kind::Key && inGroup(line.path))
                   || (line.kind == Line::Kind::Blank && removedSection)) {
            splices.push_back({line.begin, line.end, {}});
        }
    }
    Apply(std::move(splices));
}
