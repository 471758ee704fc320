#pragma once
// The tray's popup menu resource: menu 129 holds "show the window", a separator and "exit".
// Each item carries its command id as the action's data.
#include <QMenu>
#include <memory>

inline constexpr unsigned TrayMenuId = 129;
inline constexpr unsigned TrayCommandShowWindow = 32772;
inline constexpr unsigned TrayCommandExit = 32771;

// The popup of menu resource `menuId`, or none when there is no such menu.
std::unique_ptr<QMenu> LoadTrayMenu(unsigned menuId);

// The command id an item of the popup carries; 0 for a separator or none.
unsigned TrayMenuCommand(const QAction* item);
