#pragma once
// Messages the tray icon exchanges with windows: each is a QEvent with two parameters,
// delivered to the window like a window message.
#include <QEvent>

// The main window's tray callback: wParam is the icon id, lParam the mouse message.
inline constexpr QEvent::Type TrayCallbackMessage = QEvent::Type(0x800A);

// Mouse messages a tray host reports, with the values the callback has always carried.
namespace TrayMouse {
inline constexpr unsigned LeftButtonUp = 0x202;
inline constexpr unsigned LeftButtonDoubleClick = 0x203;
inline constexpr unsigned RightButtonUp = 0x205;
inline constexpr unsigned MiddleButtonUp = 0x208;
}  // namespace TrayMouse

class TrayMessageEvent : public QEvent {
public:
    TrayMessageEvent(QEvent::Type type, unsigned wParam, unsigned lParam) : QEvent(type), wParam(wParam), lParam(lParam)
    {
    }
    const unsigned wParam;
    const unsigned lParam;
};
