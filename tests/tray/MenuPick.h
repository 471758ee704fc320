#pragma once
// Waits for the tray's popup menu, records what it shows and picks an item by its mnemonic.
#include <QApplication>
#include <QMenu>
#include <QTest>
#include <QTimer>

struct MenuPick {
    QStringList texts;
    QString defaultText;
    bool separatorSecond = false;

    void Arm(Qt::Key mnemonic)
    {
        QTimer::singleShot(50, [this, mnemonic] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu)
                return Arm(mnemonic);
            for (QAction* a : menu->actions())
                texts << a->text();
            separatorSecond = menu->actions().size() == 3 && menu->actions()[1]->isSeparator();
            if (menu->defaultAction())
                defaultText = menu->defaultAction()->text();
            QTest::keyClick(menu, mnemonic);
        });
    }
};
