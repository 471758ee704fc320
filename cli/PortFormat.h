#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include "format/SafeText.h"

// How mv5840vspctl shows the port states the program reports (dictionaries with the keys
// slot, number, name, code, transport, fixed_ip, peer, online, rx, tx, device, last_heard,
// interval, state, reason, in_use; keys it does not know are shown as they come).

// Columns padded to the widest cell, measured in terminal columns (a Chinese character
// takes two). Cells are made safe for a terminal first.
class TextTable {
public:
    enum Align { Left, Right };
    void AddColumn(const QString& header, Align align = Left);
    void AddRow(const QStringList& cells);
    QStringList Lines() const;

private:
    QStringList headers_;
    QList<Align> aligns_;
    QList<QStringList> rows_;
};

// Terminal columns the text takes.
int DisplayWidth(const QString& text);
// The text cut to at most width terminal columns.
QString FitWidth(const QString& text, int width);

// list: one line per port under a header line; each line ends with a newline.
QString PortTableText(const QList<QVariantMap>& ports);
// show: "key: value" lines, the known keys first.
QString PortDetailsText(const QVariantMap& port);

// "COM7 (slot 3, code A1)": a port as messages name it.
QString PortLabel(const QVariantMap& port);

// list --plain, for shell completion: "NUMBER CODE" per port (the code left out when it is
// empty or not one word).
QString PortNamesText(const QList<QVariantMap>& ports);

// "2026-05-04T10:11:12.345Z" (ISO 8601, UTC) for ms since the Unix epoch; "" for never (< 0).
QString LastHeardText(qint64 ms);

// JSON: the manager's keys with their types; every empty text is null (fixed_ip and peer
// when there is none, reason while nothing stands in the port's way …); last_heard is
// LastHeardText or null.
QJsonObject PortJson(const QVariantMap& port);
QByteArray PortsJsonText(const QList<QVariantMap>& ports);
QByteArray PortJsonText(const QVariantMap& port);

// 1536 -> "1.5 KiB"; below 1024 the plain count with "B".
QString ByteSize(double bytes);
