#include "widgets/ansi_text.h"

#include "platform/codepage.h"

namespace widgets {

QString AnsiToQString(std::string_view text) {
  const std::u16string wide = plat::AnsiToUtf16(text);
  return QString(reinterpret_cast<const QChar*>(wide.data()), static_cast<qsizetype>(wide.size()));
}

std::string QStringToAnsi(const QString& text) {
  return plat::Utf16ToAnsi(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())));
}

bool IsAnsiChar(QChar c) {
  if (c == QLatin1Char('?')) return true;
  if (c.isSurrogate()) return false;
  const char16_t wide = c.unicode();
  return plat::Utf16ToAnsi(std::u16string_view(&wide, 1)) != "?";
}

}  // namespace widgets
