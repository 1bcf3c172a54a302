#include "tools/tessera/table_text.h"

#include "platform/text_codepage.h"

namespace tessera_tool {
namespace {
int g_override = 0;
}  // namespace

void SetCodePageOverride(int number) { g_override = number; }
bool CodePageOverridden() { return g_override != 0; }

void ApplyCodePage(tessera::KTO_dBaseDBF& table) {
  if (g_override != 0) table.SetTextCodePage(g_override);
}

std::string ToUtf8(const tessera::KTO_dBaseDBF& table, std::string_view text) {
  return plat::TextCodePage::Get(table.TextCodePage()).ToUtf8(text);
}

std::string FromUtf8(const tessera::KTO_dBaseDBF& table, std::string_view text) {
  return plat::TextCodePage::Get(table.TextCodePage()).FromUtf8(text);
}

}  // namespace tessera_tool
