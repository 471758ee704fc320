#pragma once

#include <QIcon>

// The application icon, in every size the window, the taskbar and the tray ask for.
QIcon AppIcon();
