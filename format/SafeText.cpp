#include "format/SafeText.h"

#include <QList>

QString TerminalSafe(const QString& text)
{
    QString safe;
    for (char32_t c : text.toUcs4()) {
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
            safe += QStringLiteral("\\x%1").arg(static_cast<uint>(c), 2, 16, QLatin1Char('0'));
        else
            safe += QString::fromUcs4(&c, 1);
    }
    return safe;
}
