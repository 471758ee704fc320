#pragma once
// Messages the tray icon exchanges with windows: each is a QEvent with an id and a mouse
// message, delivered to the window like a window message.
#include <QEvent>

// The main window's tray callback: id is the icon id, mouse the mouse message.
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
    TrayMessageEvent(QEvent::Type type, unsigned id, unsigned mouse) : QEvent(type), id(id), mouse(mouse) {}
    // A callback's icon id, or the menu command's id of a notify or command message.
    const unsigned id;
    // A callback's mouse message (TrayMouse); 0 in a notify or command message.
    const unsigned mouse;
};
