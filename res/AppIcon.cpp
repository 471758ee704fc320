#include "res/AppIcon.h"

QIcon AppIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/mv5840vsp-%1.png").arg(size), QSize(size, size));
    return icon;
}
