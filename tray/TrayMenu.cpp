#include "tray/TrayMenu.h"

namespace {
void AddItem(QMenu& menu, const QString& text, unsigned command)
{
    menu.addAction(text)->setData(command);
}
}  // namespace

std::unique_ptr<QMenu> LoadTrayMenu(unsigned menuId)
{
    if (menuId != TrayMenuId)
        return nullptr;
    auto menu = std::make_unique<QMenu>();
    AddItem(*menu, QStringLiteral("显示窗口内容(&D)"), TrayCommandShowWindow);
    menu->addSeparator();
    AddItem(*menu, QStringLiteral("退出(&X)"), TrayCommandExit);
    return menu;
}

unsigned TrayMenuCommand(const QAction* item)
{
    return item ? item->data().toUInt() : 0;
}
