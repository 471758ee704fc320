#pragma once

#include <QString>

// Control characters (such as an escape sequence in a code from a hand-edited file) as
// \xNN, so that printing a value can never drive the terminal.
QString TerminalSafe(const QString& text);
