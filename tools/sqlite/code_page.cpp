#include "tools/sqlite/code_page.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace tessera_sql {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The same letter in the other case, for the scripts single-byte code
// pages hold (written out: towupper depends on the process locale).
char32_t OtherCaseOf(char32_t c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return c ^ 0x20;
  if (c >= 0xC0 && c <= 0xFE && c != 0xD7 && c != 0xF7 && c != 0xDF) return c ^ 0x20;  // À..þ
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;                         // Α..Ϋ
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return c - 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;  // А..Я
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;  // Ѐ..Џ (Ё, Є, Ї, Ў, ...)
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if (c == 0x490 || c == 0x491) return c ^ 1;  // Ґ ґ
  return c;
}

// The collation's name: "cp" and the number, or the code page's own name.
std::string CollationName(int number) {
  if (number == plat::kCodePageUtf8) return "utf8";
  if (number == plat::kCodePageMazovia) return "mazovia";
  return "cp" + std::to_string(number);
}

}  // namespace

const CodePage& CodePage::Named(std::string_view name) {
  const int number = plat::CodePageNamed(name);
  if (number == 0)
    throw std::runtime_error("No code page is named '" + std::string(name) +
                             "' (a number such as 1252, cp866, mazovia or utf-8)");
  return Numbered(number);
}

const CodePage& CodePage::Numbered(int number) {
  static std::mutex mutex;
  static std::map<int, std::unique_ptr<CodePage>> pages;
  const plat::TextCodePage& text = plat::TextCodePage::Get(number);
  std::lock_guard<std::mutex> lock(mutex);
  auto it = pages.find(number);
  if (it == pages.end()) it = pages.emplace(number, std::unique_ptr<CodePage>(new CodePage(text))).first;
  return *it->second;
}

CodePage::CodePage(const plat::TextCodePage& text) : text_(text), name_(CollationName(text.Number())) {
  for (size_t b = 0; b < 256; ++b) other_case_[b] = static_cast<uint8_t>(b);
  if (!text_.SingleByte()) {
    // UTF-8 and the multi-byte code pages: ASCII is itself, and only its
    // letters have another case a byte can hold.
    for (char32_t c = 0; c < 128; ++c) {
      ascii_same_[c] = true;
      other_case_[c] = static_cast<uint8_t>(OtherCaseOf(c) < 128 ? OtherCaseOf(c) : c);
    }
    return;
  }
  for (char32_t c = 0; c < 128; ++c) ascii_same_[c] = text_.ToUnicode(static_cast<uint8_t>(c)) == c;
  for (int b = 0; b < 256; ++b) {
    const char32_t cp = text_.ToUnicode(static_cast<uint8_t>(b));
    if (cp == kReplacement) continue;
    const int other = text_.FromUnicode(OtherCaseOf(cp));
    if (other >= 0) other_case_[static_cast<size_t>(b)] = static_cast<uint8_t>(other);
  }
}

void CodePage::Decode(std::string_view bytes, std::string& out) const {
  if (!text_.Direct()) {
    out += text_.ToUtf8(bytes);
    return;
  }
  const size_t start = out.size();
  out.resize(start + plat::TextCodePage::Utf8Room(bytes.size()));
  out.resize(start + text_.ToUtf8Into(bytes, out.data() + start));
}

std::string_view CodePage::DecodeInto(std::string_view bytes, std::string& scratch) const {
  if (!text_.Direct()) {
    scratch = text_.ToUtf8(bytes);
    return scratch;
  }
  const size_t room = plat::TextCodePage::Utf8Room(bytes.size());
  if (scratch.size() < room) scratch.resize(room);
  const size_t n = text_.ToUtf8Into(bytes, scratch.data());
  scratch[n] = '\0';  // the room leaves a byte after the longest text
  return {scratch.data(), n};
}

int CodePage::Compare(std::string_view a, std::string_view b) const {
  const size_t n = std::min(a.size(), b.size());
  if (IsUtf8()) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
  }
  if (!text_.SingleByte()) return CompareStored(a, b);
  // Equal leading ASCII needs no table; it ends on a character boundary.
  size_t i = 0;
  while (i < n && a[i] == b[i] && static_cast<unsigned char>(a[i]) < 0x80) ++i;
  auto weight = [this](char32_t cp) -> uint32_t {
    if (cp < 0x80 && ascii_same_[cp]) return cp;
    const int byte = cp == kReplacement ? -1 : text_.FromUnicode(cp);
    return byte >= 0 ? static_cast<uint32_t>(byte) : 0x100 + cp;
  };
  size_t x = i, y = i;
  while (x < a.size() && y < b.size()) {
    const uint32_t wa = weight(plat::NextUtf8Char(a, x));
    const uint32_t wb = weight(plat::NextUtf8Char(b, y));
    if (wa != wb) return wa < wb ? -1 : 1;
  }
  if (x < a.size()) return 1;
  if (y < b.size()) return -1;
  return 0;
}

int CodePage::CompareStored(std::string_view a, std::string_view b) const {
  // A text the code page cannot hold sorts after every one it can, and
  // such texts among themselves by their UTF-8.
  std::string sa, sb;
  const bool ka = Encode(a, sa), kb = Encode(b, sb);
  if (ka != kb) return ka ? -1 : 1;
  if (!ka) sa.assign(a), sb.assign(b);
  const int c = sa.compare(sb);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace tessera_sql
