#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QVariant>

#include <utility>
#include <vector>

// The settings file's text, read by the rules of Qt's INI format as QSettings reads it, and
// edited line by line. Reading: a UTF-8 byte-order mark is skipped, "[General]" and the lines
// before any section are the top level, keys and section names may be %-encoded, values are
// texts with C escapes, quotes and comma-separated lists, ';' starts a comment and a line
// starting with '#' is skipped. Key names are matched in any letter case (a hand-edited
// "portnumber=7" is PortNumber). Where QSettings would guess (a quote left open across lines,
// a section header without its ']', another line that is no "key=value"), the line is skipped
// and the first such line is noted: such a file is not written over.
//
// Editing changes only the lines of the keys and groups it names; every other byte (comments,
// blank lines, the order, the byte-order mark, unknown keys) stays where it was. A rewritten
// line keeps the key as it spells it; new keys are written in the letter case given, values
// as QSettings writes a text.
class SettingsFile {
public:
    static SettingsFile Parse(const QByteArray& text);

    // The value of a key ("SocketPort", "3/Code"), in any letter case; the last one in the
    // file when it is there more than once. A QString, a QStringList for a list, an invalid
    // QVariant when missing or not a value this program reads.
    QVariant Value(const QString& key) const;
    // A group the file names, as a section (also an empty one) or as the first part of a key.
    bool HasGroup(const QString& group) const { return groups_.contains(Folded(group)); }
    // The first line (counted from 1) that could not be read, 0 when every line could.
    int FaultLine() const { return faultLine_; }

    // The text with the edits made so far.
    const QByteArray& Text() const { return text_; }
    // Sets key to the text value: its last line in the file is rewritten (in the letter case
    // the line has), earlier lines of the same key go; a new key goes after the last key of its
    // group, or into a new section at the end ("[General]" before the first section for a
    // top-level key). A key whose last line already says the same is left as it is.
    void SetValue(const QString& key, const QString& value);
    // The same for several keys of one group ("" for the top level) at once; new ones are
    // added together, in this order.
    void SetValues(const QString& group, const std::vector<std::pair<QString, QString>>& named);
    // Removes every line of key.
    void Remove(const QString& key);
    // Removes every key of group and its section headers; comment lines stay.
    void RemoveGroup(const QString& group);

    // A value's text as QSettings writes a QString: escapes, quotes, "@@" for a leading '@'.
    static QByteArray EscapedValue(const QString& value);

private:
    // One logical line (a line with its backslash continuations) of the text.
    struct Line {
        enum class Kind { Blank, Comment, Section, Key, Fault };
        Kind kind = Kind::Blank;
        qsizetype begin = 0;          // first byte
        qsizetype contentEnd = 0;     // before the line end
        qsizetype end = 0;            // after the line end
        qsizetype commentBegin = -1;  // a ';' comment after a key's value
        QString path;                 // Key: the full key; Section: the group it opens ("" for the top level); folded
        QString prefix;               // Key: the section's part of the key, "" or "1/"; folded
    };

    static QString Folded(const QString& key) { return key.toLower(); }
    // Replaces the byte ranges (sorted by begin, not overlapping) and reads the result again.
    struct Splice {
        qsizetype begin;
        qsizetype end;
        QByteArray bytes;
    };
    void Apply(std::vector<Splice> splices);
    QByteArray LineEnd() const;

    QByteArray text_;
    std::vector<Line> lines_;
    // Each value's text as it stands in the file, by folded key, decoded only when asked
    // for: most keys of a large file are never read.
    QHash<QString, QByteArray> values_;
    QSet<QString> groups_;  // folded
    int faultLine_ = 0;
};
