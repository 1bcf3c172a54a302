// The one place where window texts (the ANSI code page, CP1251, that
// datasets and fields speak) become Unicode for Qt, and back.
#pragma once

#include <QChar>
#include <QString>
#include <string>
#include <string_view>

namespace widgets {

QString AnsiToQString(std::string_view text);
// Characters the code page cannot hold become '?'.
std::string QStringToAnsi(const QString& text);
// Whether the code page holds the character.
bool IsAnsiChar(QChar c);

}  // namespace widgets
