#include "platform/codepage.h"

#include <iconv.h>

#include <array>
#include <cstring>
#include <unordered_map>

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

struct Table {
  std::array<char32_t, 256> to_unicode{};
  std::unordered_map<char32_t, uint8_t> from_unicode;
  std::array<uint8_t, 256> upper{};
  std::array<uint8_t, 256> lower{};

  explicit Table(const char* iconv_name) {
    iconv_t cd = ::iconv_open("UTF-32LE", iconv_name);
    // Without the conversion every text would turn into '?': the program
    // stops at once, saying why.
    if (cd == reinterpret_cast<iconv_t>(-1))
      throw CodePageError(std::string("Texts in code page ") + iconv_name +
                          " cannot be converted: this system's iconv has no such conversion (glibc's gconv modules)");
    for (int b = 0; b < 256; ++b) {
      char32_t cp = kReplacement;
      {
        char in = static_cast<char>(b);
        unsigned char out[4];
        char* inp = &in;
        char* outp = reinterpret_cast<char*>(out);
        size_t inleft = 1, outleft = 4;
        ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (::iconv(cd, &inp, &inleft, &outp, &outleft) != static_cast<size_t>(-1) && outleft == 0)
          cp = static_cast<char32_t>(out[0] | (out[1] << 8) | (out[2] << 16) |
                                     (static_cast<uint32_t>(out[3]) << 24));
      }
      to_unicode[b] = cp;
      if (cp != kReplacement) from_unicode.emplace(cp, static_cast<uint8_t>(b));
    }
    ::iconv_close(cd);
    for (int b = 0; b < 256; ++b) {
      upper[b] = lower[b] = static_cast<uint8_t>(b);
      const char32_t cp = to_unicode[b];
      if (cp == kReplacement) continue;
      if (auto it = from_unicode.find(UpperCodePoint(cp)); it != from_unicode.end()) upper[b] = it->second;
      if (auto it = from_unicode.find(LowerCodePoint(cp)); it != from_unicode.end()) lower[b] = it->second;
    }
  }

  uint8_t FromUnicode(char32_t cp) const {
    auto it = from_unicode.find(cp);
    return it == from_unicode.end() ? static_cast<uint8_t>('?') : it->second;
  }
};

const Table& Oem() {
  static const Table t("CP866");
  return t;
}
const Table& Ansi() {
  static const Table t("CP1251");
  return t;
}
const Table& Of(CodePage cp) { return cp == CodePage::kOem ? Oem() : Ansi(); }

// Byte-to-byte maps between the two code pages.
struct CrossMap {
  std::array<uint8_t, 256> oem_to_ansi{};
  std::array<uint8_t, 256> ansi_to_oem{};
  CrossMap() {
    for (int b = 0; b < 256; ++b) {
      oem_to_ansi[b] = Ansi().FromUnicode(Oem().to_unicode[b]);
      ansi_to_oem[b] = Oem().FromUnicode(Ansi().to_unicode[b]);
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

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence at s[i]; a malformed byte yields U+FFFD and
// advances by one.
char32_t NextUtf8(std::string_view s, size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len = 1;
  char32_t cp = c;
  if (c < 0x80) {
    ++i;
    return cp;
  }
  if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
  else {
    ++i;
    return kReplacement;
  }
  if (i + len > s.size()) {
    ++i;
    return kReplacement;
  }
  for (size_t k = 1; k < len; ++k) {
    const unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  i += len;
  return cp;
}

std::string ToUtf8(const Table& t, std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (unsigned char b : text) AppendUtf8(out, t.to_unicode[b]);
  return out;
}

std::string FromUtf8(const Table& t, std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) out += static_cast<char>(t.FromUnicode(NextUtf8(text, i)));
  return out;
}

std::u16string ToUtf16(const Table& t, std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (unsigned char b : text) out += static_cast<char16_t>(t.to_unicode[b]);  // all in the BMP
  return out;
}

// Collation weights of OEM bytes: the primary weight ignores letter case,
// the secondary one puts a lower-case letter before its capital.
struct Collation {
  std::array<uint32_t, 256> primary{};
  std::array<uint8_t, 256> secondary{};
  Collation() {
    for (int b = 0; b < 256; ++b) {
      const char32_t cp = Oem().to_unicode[b];
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

char32_t ToUnicode(CodePage cp, uint8_t byte) { return Of(cp).to_unicode[byte]; }

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
