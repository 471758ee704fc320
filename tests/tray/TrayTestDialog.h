#pragma once
// A main window wired to its tray icon the way the program's main window is.
#include <QApplication>
#include <QDialog>
#include <QStyle>

#include "tray/CSystemTray.h"
#include "tray/TrayMenu.h"
#include "tray/TrayMessages.h"

class TrayTestDialog : public QDialog {
public:
    TrayTestDialog()
    {
        tray.Open(this, TrayCallbackMessage, QStringLiteral("MV5840 虚拟串口管理"),
                  QApplication::style()->standardIcon(QStyle::SP_ComputerIcon), TrayMenuId, false);
        tray.SetNotifyTarget(this);
    }

    CSystemTray tray;
    int exitCommands = 0;

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == TrayCallbackMessage) {
            const auto* m = static_cast<TrayMessageEvent*>(e);
            if (m->mouse == TrayMouse::LeftButtonDoubleClick)
                tray.RestoreFromTray(this);
            tray.HandleNotify(m->id, m->mouse);
            return true;
        }
        if (e->type() == CSystemTray::commandMessage) {
            const auto* m = static_cast<TrayMessageEvent*>(e);
            if (m->id == TrayCommandShowWindow)
                tray.RestoreFromTray(this);
            if (m->id == TrayCommandExit)
                ++exitCommands;  // the program's close request goes here
            return true;
        }
        return QDialog::event(e);
    }
    void changeEvent(QEvent* e) override
    {
        QDialog::changeEvent(e);
        if (e->type() == QEvent::WindowStateChange && isMinimized())
            tray.ShrinkToTray(this);
    }
};
