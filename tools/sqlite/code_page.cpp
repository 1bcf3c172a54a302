#include "tools/sqlite/code_page.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

namespace tessera_sql {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kInvalid = 0x110000;  // a byte that starts no UTF-8 character

// One character of a UTF-8 text at `i` (which it advances); kInvalid + the
// byte for a byte that is no UTF-8.
char32_t NextChar(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  const int extra = b0 >= 0xC2 && b0 < 0xE0 ? 1 : b0 >= 0xE0 && b0 < 0xF0 ? 2 : b0 >= 0xF0 && b0 < 0xF5 ? 3 : -1;
  if (extra < 0 || i + static_cast<size_t>(extra) >= s.size()) {
    ++i;
    return kInvalid + b0;
  }
  char32_t cp = b0 & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kInvalid + b0;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms and surrogates are no characters.
  if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
    ++i;
    return kInvalid + b0;
  }
  i += static_cast<size_t>(extra) + 1;
  return cp;
}

// The UTF-8 bytes of a character of the Basic Multilingual Plane, their
// number in the last element.
void AppendUtf8(char32_t cp, std::array<char, 4>& out) {
  out = {};
  if (cp < 0x80) {
    out[3] = 1;
    out[0] = static_cast<char>(cp);
  } else if (cp < 0x800) {
    out[3] = 2;
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out[3] = 3;
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
  }
}

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

// The code page's SQL name and iconv's name for what the user wrote.
std::pair<std::string, std::string> Names(std::string_view given) {
  std::string key;
  for (char c : given)
    if (std::isalnum(static_cast<unsigned char>(c))) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!key.empty() && std::all_of(key.begin(), key.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
    key = "cp" + key;
  std::string iconv_name;
  if (key.rfind("cp", 0) == 0 && key.size() > 2 &&
      std::all_of(key.begin() + 2, key.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    iconv_name = "CP" + key.substr(2);
  } else {
    for (char c : given) iconv_name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return {key, iconv_name};
}

}  // namespace

const CodePage& CodePage::Named(std::string_view name) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<CodePage>> pages;
  auto [key, iconv_name] = Names(name);
  if (key.empty()) throw std::runtime_error("No code page is named '" + std::string(name) + "'");
  std::lock_guard<std::mutex> lock(mutex);
  auto it = pages.find(key);
  if (it == pages.end()) {
    std::unique_ptr<CodePage> page(new CodePage(iconv_name, key));
    it = pages.emplace(key, std::move(page)).first;
  }
  return *it->second;
}

CodePage::CodePage(std::string iconv_name, std::string name) : name_(std::move(name)) {
  if (name_ == "utf8") {
    utf8_ = true;
    return;
  }
  iconv_t cd = ::iconv_open("UTF-32LE", iconv_name.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("Unknown code page " + iconv_name);
  int undefined = 0;
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    unsigned char out[4];
    char* inp = &in;
    char* outp = reinterpret_cast<char*>(out);
    size_t inleft = 1, outleft = 4;
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char32_t cp = kReplacement;
    if (::iconv(cd, &inp, &inleft, &outp, &outleft) != static_cast<size_t>(-1) && outleft == 0)
      cp = static_cast<char32_t>(out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<uint32_t>(out[3]) << 24));
    if (cp == kReplacement || cp > 0xFFFF) {
      cp = kReplacement;
      ++undefined;
    }
    AppendUtf8(cp, utf8_of_[static_cast<size_t>(b)]);
    if (b < 0x80) ascii_same_[static_cast<size_t>(b)] = cp == static_cast<char32_t>(b);
    if (cp != kReplacement && !(b < 0x80 && cp == static_cast<char32_t>(b))) byte_of_.emplace(cp, static_cast<uint8_t>(b));
  }
  ::iconv_close(cd);
  for (int b = 0; b < 256; ++b) {
    other_case_[static_cast<size_t>(b)] = static_cast<uint8_t>(b);
    char32_t cp = b < 0x80 && ascii_same_[static_cast<size_t>(b)] ? static_cast<char32_t>(b) : kReplacement;
    for (const auto& [ch, byte] : byte_of_)
      if (byte == b) cp = ch;
    const char32_t other = OtherCaseOf(cp);
    if (other == cp) continue;
    if (other < 0x80 && ascii_same_[other]) other_case_[static_cast<size_t>(b)] = static_cast<uint8_t>(other);
    else if (auto it = byte_of_.find(other); it != byte_of_.end()) other_case_[static_cast<size_t>(b)] = it->second;
  }
  ascii_clean_ = std::all_of(ascii_same_.begin(), ascii_same_.end(), [](bool same) { return same; });
  // Multi-byte encodings leave their lead bytes without a character.
  if (undefined > 64) throw std::runtime_error(iconv_name + " is not a single-byte code page");
}

void CodePage::Decode(std::string_view bytes, std::string& out) const {
  const size_t start = out.size();
  out.resize(start + MaxDecoded(bytes.size()));
  out.resize(start + DecodeTo(bytes, out.data() + start));
}

size_t CodePage::DecodeTo(std::string_view bytes, char* out) const {
  if (utf8_) {
    std::memcpy(out, bytes.data(), bytes.size());
    return bytes.size();
  }
  // Every character is written with four bytes (the room MaxDecoded
  // leaves), the pointer then moved by its length.
  char* p = out;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = b + bytes.size();
  if (ascii_clean_) {
    while (b < end) {
      if (*b < 0x80) {
        *p++ = static_cast<char>(*b++);
        continue;
      }
      const auto& u = utf8_of_[*b++];
      std::memcpy(p, u.data(), 4);
      p += u[3];
    }
  } else {
    while (b < end) {
      const auto& u = utf8_of_[*b++];
      std::memcpy(p, u.data(), 4);
      p += u[3];
    }
  }
  return static_cast<size_t>(p - out);
}

bool CodePage::Encode(std::string_view utf8, std::string& out, std::string* bad) const {
  if (utf8_) {
    out.append(utf8);
    return true;
  }
  const size_t mark = out.size();
  for (size_t i = 0; i < utf8.size();) {
    const size_t at = i;
    const char32_t cp = NextChar(utf8, i);
    if (cp < 0x80 && ascii_same_[cp]) {
      out += static_cast<char>(cp);
      continue;
    }
    auto it = cp < kInvalid ? byte_of_.find(cp) : byte_of_.end();
    if (it == byte_of_.end()) {
      out.resize(mark);
      if (bad != nullptr) *bad = std::string(utf8.substr(at, i - at));
      return false;
    }
    out += static_cast<char>(it->second);
  }
  return true;
}

int CodePage::Compare(std::string_view a, std::string_view b) const {
  const size_t n = std::min(a.size(), b.size());
  if (utf8_) {
    const int c = std::memcmp(a.data(), b.data(), n);
    if (c != 0) return c < 0 ? -1 : 1;
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
  }
  // Equal leading ASCII needs no table; it ends on a character boundary.
  size_t i = 0;
  while (i < n && a[i] == b[i] && static_cast<unsigned char>(a[i]) < 0x80) ++i;
  auto weight = [this](char32_t cp) -> uint32_t {
    if (cp < 0x80 && ascii_same_[cp]) return cp;
    if (cp < kInvalid) {
      auto it = byte_of_.find(cp);
      if (it != byte_of_.end()) return it->second;
    }
    return 0x100 + cp;
  };
  size_t x = i, y = i;
  while (x < a.size() && y < b.size()) {
    const uint32_t wa = weight(NextChar(a, x));
    const uint32_t wb = weight(NextChar(b, y));
    if (wa != wb) return wa < wb ? -1 : 1;
  }
  if (x < a.size()) return 1;
  if (y < b.size()) return -1;
  return 0;
}

}  // namespace tessera_sql
