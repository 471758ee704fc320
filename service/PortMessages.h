#pragma once

#include <string>

#include "link/PortStatus.h"
#include "net/Reason.h"
#include "service/PortError.h"
#include "vport/LineState.h"

// The texts a user sees in the window, shared by the window's dialogs and the bus manager (a
// refusal's error text), so they read the same everywhere. Every text is Chinese; the
// data-exchange texts keep their “ ” marks as the dialogs show them. A new kind of refusal or
// reason is one line in Text's table (and one in the English table: Reason::English, and
// the command-line tool's for refusals).
namespace PortMessages {

// "“请填入一个在<min>和<max>之间的整数。”"
std::string IntegerRange(int min, int max);
// "“请填入不多于<maxBytes>个的字符。”"
std::string TextTooLong(int maxBytes);

inline constexpr char NumberInUse[] = "该端口号已被使用";
inline constexpr char TableFull[] = "端口数量太多，无法创建新的端口";
inline constexpr char PortInUse[] = "请确认先关闭正在使用虚拟串口的程序。";

// Why a request was refused.
std::string Text(const PortError& error);
// Why a port is not served, why the network or the configuration file failed.
std::string Text(const Reason& reason);
// The line settings an application set: "9600 8E1，DTR开，RTS关".
std::string Text(const LineState& line);
// A port's framing gap, shown where it is not the default: "帧间隔：2毫秒".
std::string FrameGap(int milliseconds);
// A port's network server, for a port that has one: "网络端口：TCP 4001（RFC 2217），
// 客户端：127.0.0.1:40022", or why it is not listening.
std::string Network(const PortStatus& port);
// What the port counted, a line each, and its latest error with its local time:
// "收到：120字节，3个数据包" ... "最近错误：2026-12-08 12:00:01 与…的TCP连接已断开。".
std::string Statistics(const PortStatus& port);

}  // namespace PortMessages
