#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "link/TraceRecord.h"

// How `mv5840vspctl monitor` and the window's monitor view show one trace record: one line
// per record, never a control character (what a DTU sent is bytes, not text for the terminal).
enum class TraceStyle {
    HexAndText,  // hex and printable text side by side (the default)
    Text,        // --ascii: the bytes as text, escapes for the rest
    Hex,         // --hex: the bytes in hex only
    Json,        // --json: one JSON object per line
};

// "2026-12-08T11:00:36.123456Z": microseconds since the Unix epoch, ISO 8601, UTC.
QString TraceTimeText(qint64 timeUs);

// "01 03 00 0a"
QString HexText(const std::vector<uint8_t>& bytes);
// Printable ASCII as it is, every other byte as '.', as a hex dump shows it.
QString DumpText(const std::vector<uint8_t>& bytes);
// Printable ASCII as it is; \\, \r, \n, \t and \xNN for the rest.
QString EscapedText(const std::vector<uint8_t>& bytes);

// What an event says, without time and port: "login 192.0.2.7:40001", "offline no login
// for 300 s", "dropped 4096 bytes", "lost 9 trace records" … For data records the kind and
// the count of bytes: "rx 8 bytes". Also the comment of an event in a pcapng file.
QString TraceEventText(const TraceRecord& record);

// One line, without its newline: time, port ("COM7", "-" for what belongs to no port), the
// event and, for data, the bytes in the style asked for; for Json the compact TraceJson.
QString TraceLine(const TraceRecord& record, TraceStyle style);

// The --json object: time (text), time_us, slot and port (null for no port), event (the
// kind's name), and by kind: length and hex (rx, tx); address (login, tcp-connect, tcp-up);
// reason (offline, tcp-refused, tcp-down); bytes (dropped); source and length (oversized);
// source, length, code and code_hex (unknown-code); records (lost).
QJsonObject TraceJson(const TraceRecord& record);
