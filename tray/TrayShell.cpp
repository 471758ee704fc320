#include "tray/TrayShell.h"

#include <QCoreApplication>

#include "tray/TrayMessages.h"

void TrayShell::Notify(const TrayIconData& data, unsigned mouseMessage)
{
    if (!data.window || !(data.flags & TrayIconData::Message))
        return;
    TrayMessageEvent message(data.callbackMessage, data.id, mouseMessage);
    QCoreApplication::sendEvent(data.window, &message);
}
