#pragma once

#include <QString>

#include "link/TraceRecord.h"

// One line of the window's monitor view, in the window's language: the local time to the
// microsecond, the port, what happened in Chinese and, for data, the bytes in hex and as
// text ("2026-12-08 20:00:36.123456 COM7 收到 8字节  01 03 …  |........|"). The command-line
// tool keeps its own English lines with UTC times. The window's thread only.
QString MonitorLine(const TraceRecord& record);
