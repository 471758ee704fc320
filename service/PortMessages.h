#pragma once

#include <string>

// The texts a user sees when a port's values are refused, shared by the window's dialogs and
// every other front end (the bus manager, the command line), so they read the same
// everywhere. The data-exchange texts keep their “ ” marks as the dialogs show them.
namespace PortMessages {

// "“请填入一个在<min>和<max>之间的整数。”"
std::string IntegerRange(int min, int max);
// "“请填入不多于<maxBytes>个的字符。”"
std::string TextTooLong(int maxBytes);

inline constexpr char NumberInUse[] = "该端口号已被使用";
inline constexpr char TableFull[] = "端口数量太多，无法创建新的端口";
inline constexpr char PortInUse[] = "请确认先关闭正在使用虚拟串口的程序。";

}  // namespace PortMessages
