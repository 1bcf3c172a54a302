#include "tools/tessera/table_text.h"

#include "platform/text_codepage.h"

namespace tessera_tool {
namespace {
int g_override = 0;
}  // namespace

void SetCodePageOverride(int number) { g_override = number; }
bool CodePageOverridden() { return g_override != 0; }
int CodePageOverride() { return g_override; }

void ApplyCodePage(tessera::KTO_dBaseDBF& table) {
  if (g_override != 0) table.SetTextCodePage(g_override);
}

namespace {

// The code page of a table, looked up once for the many texts of a dump.
const plat::TextCodePage& PageOf(const tessera::KTO_dBaseDBF& table) {
  static const plat::TextCodePage* last = nullptr;
  const int number = table.TextCodePage();
  if (last == nullptr || last->Number() != number) last = &plat::TextCodePage::Get(number);
  return *last;
}

}  // namespace

std::string ToUtf8(const tessera::KTO_dBaseDBF& table, std::string_view text) { return PageOf(table).ToUtf8(text); }

std::string FromUtf8(const tessera::KTO_dBaseDBF& table, std::string_view text) {
  return PageOf(table).FromUtf8(text);
}

}  // namespace tessera_tool
