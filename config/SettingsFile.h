#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>
#include <QVariant>

// One parse of the settings file's text, by the rules of Qt's INI format as QSettings writes
// and reads it: "[General]" and the lines before any section are the top level, keys and
// section names may be %-encoded, values are texts with C escapes, quotes and comma-separated
// lists, ';' starts a comment. Where QSettings would guess (a quote left open across lines, a
// section header without its ']', a line that is no "key=value"), the line is skipped and
// the first such line is noted: such a file is not written over.
class SettingsFile {
public:
    static SettingsFile Parse(const QByteArray& text);

    // The value of a key ("SocketPort", "3/Code"): a QString, a QStringList for a list, an
    // invalid QVariant when missing or not a value this program reads.
    QVariant Value(const QString& key) const;
    // A group the file names, as a section (also an empty one) or as the first part of a key.
    bool HasGroup(const QString& group) const { return groups.contains(group); }
    // The first line (counted from 1) that could not be read, 0 when every line could.
    int FaultLine() const { return faultLine; }
    // Groups named only by an empty section: QSettings does not keep them.
    const QSet<QString>& BareGroups() const { return bareGroups; }

private:
    // Each value's text as it stands in the file, decoded only when asked for: most keys of a
    // large file are never read.
    QHash<QString, QByteArray> values;
    QSet<QString> groups;
    QSet<QString> bareGroups;
    int faultLine = 0;
};
