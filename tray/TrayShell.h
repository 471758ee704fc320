#pragma once
// The desktop's notification area as the tray icon sees it: add and delete one icon, and
// hear when the tray host comes back or goes away. The real one is QtTrayShell; tests use a fake.
#include <QByteArray>
#include <QEvent>
#include <QIcon>
#include <QObject>
#include <QPointer>

// The icon's record, handed to the shell on every add and delete.
struct TrayIconData {
    enum Flag : unsigned { Message = 0x1, Icon = 0x2, Tip = 0x4 };
    QPointer<QObject> window;  // receives the callback message
    unsigned id = 0;
    unsigned flags = 0;
    QEvent::Type callbackMessage = QEvent::None;
    QIcon icon;
    QByteArray tip;  // UTF-8, at most TipBytes bytes
    static constexpr int TipBytes = 63;
};

class TrayShell : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~TrayShell() override = default;

    virtual bool Add(const TrayIconData& data) = 0;
    virtual bool Delete(const TrayIconData& data) = 0;
    // True while a tray host actually shows the added icon.
    virtual bool IconShown() const = 0;

    // What the host does on a mouse event over the icon: it sends the callback message.
    static void Notify(const TrayIconData& data, unsigned mouseMessage);

signals:
    // The tray host (re)appeared: an icon that was shown or owed must be added again.
    void HostReturned();
    // The tray host went away: icons are no longer shown anywhere.
    void HostLost();
};
