#pragma once

#include <QFont>

// The windows are laid out for 宋体 9 pt. Where 宋体 is missing this is a family with Chinese
// glyphs at the same size, so that no text turns into boxes.
QFont DialogFont();
