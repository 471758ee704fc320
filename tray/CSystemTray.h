#pragma once
// The program's notification-area icon: adds it through a TrayShell, turns mouse events on it
// into the popup menu and the default command for a target window, adds it again when the tray
// host comes back, and hides a minimised window into the icon and brings it back.
#include <QEvent>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

#include "tray/TrayShell.h"

class QMenu;
class QWidget;

class CSystemTray : public QObject {
    Q_OBJECT
public:
    // Sent to the target on a double-click; its id is the default item's command id.
    static const QEvent::Type notifyMessage;
    // Posted to the target for a chosen menu item; its id is the item's command id.
    static const QEvent::Type commandMessage;

    // Without a shell the icon goes to the desktop's notification area (QtTrayShell).
    explicit CSystemTray(std::unique_ptr<TrayShell> shell = nullptr, QObject* parent = nullptr);
    ~CSystemTray() override;

    // Callback messages go to `parent` when given, else to this object, which handles them.
    // A callback message of QEvent::None means notifyMessage. An empty tooltip sets none.
    bool Open(QWidget* parent, QEvent::Type callbackMessage, const QString& tooltip, const QIcon& icon, unsigned iconId,
              bool hidden);
    bool DeleteIcon();
    void ReAddIcon();
    // The answer to a callback message: the icon id and the mouse message (TrayMouse).
    virtual qintptr HandleNotify(unsigned iconId, unsigned mouse);
    bool SetNotifyTarget(QWidget* window);
    // The target, else the window the icon was opened for, else none.
    QWidget* NotifyTarget() const;
    virtual void Destroy();

    // Hides a minimised window into the icon. Only while the icon is really in a tray; otherwise
    // the window stays minimised, where the user can still reach it. Returns whether it hid it.
    bool ShrinkToTray(QWidget* window);
    // Shows the window again in its normal state, in front and active.
    void RestoreFromTray(QWidget* window);

    bool IsHidden() const { return hidden_; }
    bool IsRemoved() const { return removed_; }
    bool IsAddPending() const { return addPending_; }
    const TrayIconData& NotifyData() const { return notifyData_; }

protected:
    bool event(QEvent* e) override;

private:
    void BringBackShrunkWindow();
    QMenu* Popup() const { return popupMenu_.get(); }

    bool hidden_ = true;
    bool removed_ = true;
    bool addPending_ = false;
    TrayIconData notifyData_;
    // The default item is the popup's first position: "show the window".
    static constexpr int defaultItem = 0;
    QPointer<QWidget> target_;
    QPointer<QWidget> owner_;
    std::unique_ptr<QMenu> popupMenu_;
    std::unique_ptr<TrayShell> shell_;
    QPointer<QWidget> shrunkWindow_;
};
