#include "platform/codepage.h"

#include <array>
#include <cstring>

#include "platform/text_codepage.h"

namespace plat {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Upper case of a code point for the scripts the two code pages hold.
// Written out rather than taken from towupper so it does not depend on the
// process locale.
char32_t UpperCodePoint(char32_t c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;  // а..я
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;  // ѐ..џ (ё, є, ї, ў, ...)
  if (c == 0x491) return 0x490;                   // ґ
  return c;
}

char32_t LowerCodePoint(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 0x20;
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  if (c == 0x490) return 0x491;
  return c;
}

// A code page's bytes as the OEM/ANSI functions use them: its characters
// (from the code page's own table), and its letter case.
struct Table {
  const TextCodePage& page;
  std::array<uint8_t, 256> upper{};
  std::array<uint8_t, 256> lower{};

  explicit Table(int number) : page(TextCodePage::Get(number)) {
    for (int b = 0; b < 256; ++b) {
      upper[b] = lower[b] = static_cast<uint8_t>(b);
      const char32_t cp = page.ToUnicode(static_cast<uint8_t>(b));
      if (cp == kReplacement) continue;
      if (const int u = page.FromUnicode(UpperCodePoint(cp)); u >= 0) upper[b] = static_cast<uint8_t>(u);
      if (const int l = page.FromUnicode(LowerCodePoint(cp)); l >= 0) lower[b] = static_cast<uint8_t>(l);
    }
  }

  char32_t ToUnicode(uint8_t b) const { return page.ToUnicode(b); }
  uint8_t FromUnicode(char32_t cp) const {
    const int b = page.FromUnicode(cp);
    return b < 0 ? static_cast<uint8_t>('?') : static_cast<uint8_t>(b);
  }
};

const Table& Oem() {
  static const Table t(866);
  return t;
}
const Table& Ansi() {
  static const Table t(1251);
  return t;
}
const Table& Of(CodePage cp) { return cp == CodePage::kOem ? Oem() : Ansi(); }

// Byte-to-byte maps between the two code pages.
struct CrossMap {
  std::array<uint8_t, 256> oem_to_ansi{};
  std::array<uint8_t, 256> ansi_to_oem{};
  CrossMap() {
    for (int b = 0; b < 256; ++b) {
      oem_to_ansi[b] = Ansi().FromUnicode(Oem().ToUnicode(static_cast<uint8_t>(b)));
      ansi_to_oem[b] = Oem().FromUnicode(Ansi().ToUnicode(static_cast<uint8_t>(b)));
      // Control characters map to themselves even where one side leaves the
      // byte undefined.
      if (b < 0x20) oem_to_ansi[b] = ansi_to_oem[b] = static_cast<uint8_t>(b);
    }
  }
};
const CrossMap& Cross() {
  static const CrossMap m;
  return m;
}

std::string ToUtf8(const Table& t, std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char b : text) AppendUtf8(out, t.ToUnicode(static_cast<uint8_t>(b)));
  return out;
}

std::string FromUtf8(const Table& t, std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) out += static_cast<char>(t.FromUnicode(NextUtf8Char(text, i)));
  return out;
}

std::u16string ToUtf16(const Table& t, std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (unsigned char b : text) out += static_cast<char16_t>(t.ToUnicode(static_cast<uint8_t>(b)));  // all in the BMP
  return out;
}

// Collation weights of OEM bytes: the primary weight ignores letter case,
// the secondary one puts a lower-case letter before its capital.
struct Collation {
  std::array<uint32_t, 256> primary{};
  std::array<uint8_t, 256> secondary{};
  Collation() {
    for (int b = 0; b < 256; ++b) {
      const char32_t cp = Oem().ToUnicode(static_cast<uint8_t>(b));
      const char32_t low = LowerCodePoint(cp);
      uint32_t w;
      if (low >= 'a' && low <= 'z') {
        w = 0x20000 + (low - 'a') * 4;
      } else if (low >= 0x430 && low <= 0x44F) {
        // а..е, then ё, then ж..я
        const uint32_t idx = low - 0x430;
        w = 0x30000 + (idx <= 5 ? idx * 4 : idx * 4 + 4);
      } else if (low == 0x451) {
        w = 0x30000 + 5 * 4 + 2;
      } else if (low >= 0x450 && low <= 0x45F) {
        w = 0x31000 + (low - 0x450);  // other Cyrillic letters after я
      } else if (cp >= '0' && cp <= '9') {
        w = 0x10000 + (cp - '0');
      } else {
        w = static_cast<uint32_t>(cp == kReplacement ? 0xFFFF : cp);  // marks and symbols first
      }
      primary[b] = w;
      secondary[b] = (low != cp) ? 1 : 0;
    }
  }
};
const Collation& Coll() {
  static const Collation c;
  return c;
}

int Compare(std::string_view a, std::string_view b, bool ignore_case) {
  const Collation& c = Coll();
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const uint32_t wa = c.primary[static_cast<unsigned char>(a[i])];
    const uint32_t wb = c.primary[static_cast<unsigned char>(b[i])];
    if (wa != wb) return wa < wb ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  if (ignore_case) return 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t sa = c.secondary[static_cast<unsigned char>(a[i])];
    const uint8_t sb = c.secondary[static_cast<unsigned char>(b[i])];
    if (sa != sb) return sa < sb ? -1 : 1;
  }
  const int m = std::memcmp(a.data(), b.data(), n);
  return m < 0 ? -1 : (m > 0 ? 1 : 0);
}

}  // namespace

char32_t ToUnicode(CodePage cp, uint8_t byte) { return Of(cp).ToUnicode(byte); }

std::string OemToAnsi(std::string_view text) {
  std::string out(text);
  OemToAnsiBuffer(out.data(), out.data(), out.size());
  return out;
}
std::string AnsiToOem(std::string_view text) {
  std::string out(text);
  AnsiToOemBuffer(out.data(), out.data(), out.size());
  return out;
}
std::string OemToUtf8(std::string_view text) { return ToUtf8(Oem(), text); }
std::string AnsiToUtf8(std::string_view text) { return ToUtf8(Ansi(), text); }
std::string Utf8ToOem(std::string_view text) { return FromUtf8(Oem(), text); }
std::string Utf8ToAnsi(std::string_view text) { return FromUtf8(Ansi(), text); }
std::u16string OemToUtf16(std::string_view text) { return ToUtf16(Oem(), text); }
std::u16string AnsiToUtf16(std::string_view text) { return ToUtf16(Ansi(), text); }

std::string Utf16ToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size()) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out += static_cast<char>(Ansi().FromUnicode(cp));
  }
  return out;
}

void OemToAnsiBuffer(const char* src, char* dst, size_t count) {
  const auto& m = Cross().oem_to_ansi;
  for (size_t i = 0; i < count; ++i) dst[i] = static_cast<char>(m[static_cast<unsigned char>(src[i])]);
}
void AnsiToOemBuffer(const char* src, char* dst, size_t count) {
  const auto& m = Cross().ansi_to_oem;
  for (size_t i = 0; i < count; ++i) dst[i] = static_cast<char>(m[static_cast<unsigned char>(src[i])]);
}

uint8_t UpperByte(uint8_t b) { return Oem().upper[b]; }
uint8_t LowerByte(uint8_t b) { return Oem().lower[b]; }

void UpperBuffer(char* buffer, size_t count) {
  const auto& t = Oem().upper;
  for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<char>(t[static_cast<unsigned char>(buffer[i])]);
}
void LowerBuffer(char* buffer, size_t count) {
  const auto& t = Oem().lower;
  for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<char>(t[static_cast<unsigned char>(buffer[i])]);
}
std::string UpperText(std::string_view text) {
  std::string out(text);
  UpperBuffer(out.data(), out.size());
  return out;
}
std::string LowerText(std::string_view text) {
  std::string out(text);
  LowerBuffer(out.data(), out.size());
  return out;
}
std::string UpperAnsi(std::string_view text) {
  std::string out(text);
  const auto& t = Ansi().upper;
  for (char& c : out) c = static_cast<char>(t[static_cast<unsigned char>(c)]);
  return out;
}

int CompareText(std::string_view a, std::string_view b) { return Compare(a, b, false); }
int CompareTextIgnoreCase(std::string_view a, std::string_view b) { return Compare(a, b, true); }

}  // namespace plat
