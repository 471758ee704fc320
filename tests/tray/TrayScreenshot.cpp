// Takes pictures of the tray icon at work on an X server with an X11 tray host running:
// the icon's popup menu, and the window restored from the tray. Not a test; see
// scripts/screenshot-tray.sh. Usage: tray_screenshot <output directory>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cstdio>

#include "tests/tray/TrayTestDialog.h"

namespace {

constexpr int Deadline = 15000;

// Qt's own widget for an icon docked in an X11 tray.
QWidget* DockedIcon()
{
    for (QWidget* w : QApplication::allWidgets())
        if (w->inherits("QSystemTrayIconSys") && w->isVisible())
            return w;
    return nullptr;
}

bool SaveScreen(const QString& path)
{
    return QGuiApplication::primaryScreen()->grabWindow(0).save(path);
}

int Fail(const char* what)
{
    std::fprintf(stderr, "tray_screenshot: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return Fail("usage: tray_screenshot <output directory>");
    const QDir out(QString::fromLocal8Bit(argv[1]));

    TrayTestDialog dialog;
    dialog.setWindowTitle(QStringLiteral("MV5840 虚拟串口管理"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("这个窗口最小化后藏到通知区域图标里。")));
    dialog.resize(420, 200);
    dialog.move(80, 80);
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog, Deadline))
        return Fail("the window did not appear");

    QWidget* icon = nullptr;
    if (!QTest::qWaitFor([&] { return (icon = DockedIcon()) != nullptr; }, Deadline))
        return Fail("no tray host took the icon");
    QTest::qWait(500);

    // Right-click on the icon, photograph the menu, and leave it with Escape.
    bool menuSaved = false;
    QTimer::singleShot(300, [&] {
        QWidget* popup = QApplication::activePopupWidget();
        if (!popup)
            return;
        menuSaved = SaveScreen(out.filePath("tray-menu.png")) && popup->grab().save(out.filePath("tray-menu-only.png"));
        QTest::keyClick(popup, Qt::Key_Escape);
    });
    const QPoint iconCentre = icon->rect().center();
    QCursor::setPos(icon->mapToGlobal(iconCentre));
    QTest::mouseClick(icon, Qt::RightButton, {}, iconCentre);
    if (!menuSaved)
        return Fail("the menu did not appear");

    // Minimise into the icon, then bring the window back through the menu's first item.
    dialog.showMinimized();
    if (!QTest::qWaitFor([&] { return !dialog.windowHandle()->isVisible(); }, Deadline))
        return Fail("minimising did not hide the window");
    SaveScreen(out.filePath("tray-hidden.png"));
    QTimer::singleShot(300, [] {
        if (QWidget* popup = QApplication::activePopupWidget())
            QTest::keyClick(popup, Qt::Key_D);
    });
    QTest::mouseClick(icon, Qt::RightButton, {}, iconCentre);
    if (!QTest::qWaitFor([&] { return dialog.windowHandle()->isVisible() && !dialog.isMinimized(); }, Deadline))
        return Fail("the window did not come back");
    QTest::qWait(500);
    SaveScreen(out.filePath("tray-restored.png"));
    std::printf("%s\n", qPrintable(out.absolutePath()));
    return 0;
}
