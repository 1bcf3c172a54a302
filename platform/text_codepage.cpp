#include "platform/text_codepage.h"

#include <iconv.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace plat {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Language-driver marks of dBase and FoxPro tables and the code pages they
// name. Several marks name one code page (dBase had a driver per country).
struct DriverMark {
  uint8_t mark;
  int code_page;
};
constexpr DriverMark kDriverMarks[] = {
    {0x01, 437},   {0x02, 850},   {0x03, 1252},  {0x04, 10000}, {0x08, 865},   {0x09, 437},   {0x0A, 850},
    {0x0B, 437},   {0x0D, 437},   {0x0E, 850},   {0x0F, 437},   {0x10, 850},   {0x11, 437},   {0x12, 850},
    {0x13, 932},   {0x14, 850},   {0x15, 437},   {0x16, 850},   {0x17, 865},   {0x18, 437},   {0x19, 437},
    {0x1A, 850},   {0x1B, 437},   {0x1C, 863},   {0x1D, 850},   {0x1F, 852},   {0x22, 852},   {0x23, 852},
    {0x24, 860},   {0x25, 850},   {0x26, 866},   {0x37, 850},   {0x40, 852},   {0x4D, 936},   {0x4E, 949},
    {0x4F, 950},   {0x50, 874},   {0x57, 1252},  {0x58, 1252},  {0x59, 1252},  {0x64, 852},   {0x65, 866},
    {0x66, 865},   {0x67, 861},   {0x68, 895},   {0x69, 620},   {0x6A, 737},   {0x6B, 857},   {0x6C, 863},
    {0x78, 950},   {0x79, 949},   {0x7A, 936},   {0x7B, 932},   {0x7C, 874},   {0x7D, 1255},  {0x7E, 1256},
    {0x86, 737},   {0x87, 852},   {0x88, 857},   {0x96, 10007}, {0x97, 10029}, {0x98, 10006}, {0xC8, 1250},
    {0xC9, 1251},  {0xCA, 1254},  {0xCB, 1253},  {0xCC, 1257},
};

// The Polish letters Mazovia puts in place of CP437's characters.
struct MazoviaLetter {
  uint8_t byte;
  char32_t letter;
};
constexpr MazoviaLetter kMazovia[] = {
    {0x86, 0x0105}, {0x8D, 0x0107}, {0x8F, 0x0104}, {0x90, 0x0118}, {0x91, 0x0119}, {0x92, 0x0142},
    {0x95, 0x0106}, {0x98, 0x015A}, {0x9C, 0x0141}, {0x9E, 0x015B}, {0xA0, 0x0179}, {0xA1, 0x017B},
    {0xA3, 0x00D3}, {0xA4, 0x0144}, {0xA5, 0x0143}, {0xA6, 0x017A}, {0xA7, 0x017C},
};

// The iconv name of a code page and the name shown to users.
void Names(int number, std::string* iconv_name, std::string* name) {
  switch (number) {
    case kCodePageUtf8: *iconv_name = "", *name = "UTF-8"; return;
    case kCodePageMazovia: *iconv_name = "CP437", *name = "Mazovia"; return;
    case 895: *iconv_name = "KAMENICKY", *name = "Kamenicky (895)"; return;
    case 10000: *iconv_name = "MACINTOSH", *name = "Macintosh Roman (10000)"; return;
    case 10006: *iconv_name = "MAC-GREEK", *name = "Macintosh Greek (10006)"; return;
    case 10007: *iconv_name = "MAC-CYRILLIC", *name = "Macintosh Cyrillic (10007)"; return;
    case 10029: *iconv_name = "MAC-CENTRALEUROPE", *name = "Macintosh Central European (10029)"; return;
    default: *iconv_name = "CP" + std::to_string(number), *name = *iconv_name; return;
  }
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

// Converts with iconv; bytes the source cannot convert become '?' (from a
// code page) or are skipped one UTF-8 character at a time (to one).
std::string Convert(const char* to, const char* from, std::string_view text, bool from_utf8) {
  iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw CodePageError(std::string("no conversion from ") + from + " to " + to);
  std::string out;
  char buffer[256];
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  while (in_left > 0) {
    char* o = buffer;
    size_t o_left = sizeof buffer;
    const size_t r = ::iconv(cd, &in, &in_left, &o, &o_left);
    out.append(buffer, sizeof buffer - o_left);
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // A character the target lacks, or a byte the source does not use.
      out += '?';
      if (from_utf8) {
        size_t i = 0;
        NextUtf8Char(std::string_view(in, in_left), i);
        in += i, in_left -= i;
      } else {
        ++in, --in_left;
      }
      ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  ::iconv_close(cd);
  return out;
}

// A strict conversion from UTF-8 with iconv, appended to `out`; false at
// the first character the target cannot hold (in `bad`).
bool ConvertStrict(const char* to, std::string_view text, std::string& out, std::string* bad) {
  iconv_t cd = ::iconv_open(to, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw CodePageError(std::string("no conversion from UTF-8 to ") + to);
  const size_t mark = out.size();
  char buffer[256];
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  bool ok = true;
  // The final call with no input ends a stateful encoding's shift sequence.
  for (bool flush = false; ok;) {
    char* o = buffer;
    size_t o_left = sizeof buffer;
    const size_t r = flush ? ::iconv(cd, nullptr, nullptr, &o, &o_left) : ::iconv(cd, &in, &in_left, &o, &o_left);
    out.append(buffer, sizeof buffer - o_left);
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      ok = false;
      if (bad != nullptr) {
        size_t i = 0;
        NextUtf8Char(std::string_view(in, in_left), i);
        *bad = std::string(in, i);
      }
    } else if (r != static_cast<size_t>(-1)) {
      if (flush) break;
      if (in_left == 0) flush = true;
    }
  }
  ::iconv_close(cd);
  if (!ok) out.resize(mark);
  return ok;
}

}  // namespace

char32_t NextUtf8Char(std::string_view s, size_t& i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) {
    ++i;
    return c;
  }
  size_t len;
  char32_t cp;
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
    const auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  // Overlong forms ("/" as E0 80 AF) and surrogates are no characters.
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    ++i;
    return kReplacement;
  }
  i += len;
  return cp;
}

struct TextCodePage::Reverse {
  std::unordered_map<char32_t, uint8_t> map;
};

TextCodePage::TextCodePage(int number, std::string name, std::string iconv_name)
    : number_(number), name_(std::move(name)), iconv_name_(std::move(iconv_name)) {
  if (number_ == kCodePageUtf8) {
    single_byte_ = false;
    return;
  }
  iconv_t cd = ::iconv_open("UTF-32LE", iconv_name_.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1))
    throw CodePageError("Texts in code page " + name_ + " cannot be converted: this system's iconv has no " +
                        iconv_name_ + " conversion (glibc's gconv modules)");
  // A code page is single-byte when every byte converts alone; the bytes
  // it leaves undefined map to U+FFFD.
  auto reverse = std::make_unique<Reverse>();
  int lead_bytes = 0;
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    unsigned char out[4];
    char* inp = &in;
    char* outp = reinterpret_cast<char*>(out);
    size_t inleft = 1, outleft = 4;
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char32_t cp = kReplacement;
    const size_t r = ::iconv(cd, &inp, &inleft, &outp, &outleft);
    if (r != static_cast<size_t>(-1) && outleft == 0)
      cp = static_cast<char32_t>(out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<uint32_t>(out[3]) << 24));
    else if (r == static_cast<size_t>(-1) && errno == EINVAL)
      ++lead_bytes;  // the start of a longer sequence
    to_unicode_[b] = cp;
  }
  ::iconv_close(cd);
  single_byte_ = lead_bytes == 0;
  if (number_ == kCodePageMazovia)
    for (const MazoviaLetter& m : kMazovia) to_unicode_[m.byte] = m.letter;
  for (int b = 255; b >= 0; --b)
    if (to_unicode_[b] != kReplacement) reverse->map[to_unicode_[b]] = static_cast<uint8_t>(b);
  reverse_ = reverse.release();
  if (single_byte_)
    for (int b = 0; b < 256; ++b) {
      std::string one;
      AppendUtf8(one, to_unicode_[b]);
      if (one.size() > 3) one = "\xEF\xBF\xBD";  // beyond the Basic Multilingual Plane: no single byte maps there
      std::memcpy(utf8_of_[b], one.data(), one.size());
      utf8_of_[b][3] = static_cast<char>(one.size());
    }
}

TextCodePage::~TextCodePage() { delete reverse_; }

const TextCodePage& TextCodePage::Get(int number) {
  static std::mutex mutex;
  static std::map<int, std::unique_ptr<TextCodePage>> pages;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = pages.find(number);
  if (it != pages.end()) return *it->second;
  std::string iconv_name, name;
  Names(number, &iconv_name, &name);
  std::unique_ptr<TextCodePage> page(new TextCodePage(number, name, iconv_name));
  return *pages.emplace(number, std::move(page)).first->second;
}

std::string TextCodePage::ToUtf8(std::string_view text) const {
  if (!Direct()) return Convert("UTF-8", iconv_name_.c_str(), text, false);
  std::string out(Utf8Room(text.size()), '\0');
  out.resize(ToUtf8Into(text, out.data()));
  return out;
}

size_t TextCodePage::ToUtf8Into(std::string_view text, char* out) const {
  if (number_ == kCodePageUtf8 || !single_byte_) {
    std::memcpy(out, text.data(), text.size());
    return text.size();
  }
  // Each character is copied as four bytes (the room allows for one more
  // than the last needs), the output then advanced by its length.
  char* p = out;
  for (unsigned char b : text) {
    if (b < 0x80 && to_unicode_[b] == b) {
      *p++ = static_cast<char>(b);
      continue;
    }
    std::memcpy(p, utf8_of_[b], 4);
    p += utf8_of_[b][3];
  }
  return static_cast<size_t>(p - out);
}

std::string TextCodePage::FromUtf8(std::string_view text) const {
  if (number_ == kCodePageUtf8) return std::string(text);
  if (!single_byte_) return Convert(iconv_name_.c_str(), "UTF-8", text, true);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const char32_t cp = NextUtf8Char(text, i);
    auto it = reverse_->map.find(cp);
    out += it == reverse_->map.end() ? '?' : static_cast<char>(it->second);
  }
  return out;
}

bool TextCodePage::TryFromUtf8(std::string_view text, std::string& out, std::string* bad) const {
  if (number_ == kCodePageUtf8) {
    out.append(text);
    return true;
  }
  if (!single_byte_) return ConvertStrict(iconv_name_.c_str(), text, out, bad);
  const size_t mark = out.size();
  for (size_t i = 0; i < text.size();) {
    const size_t at = i;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80 && to_unicode_[c] == c) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const char32_t cp = NextUtf8Char(text, i);
    auto it = cp == kReplacement ? reverse_->map.end() : reverse_->map.find(cp);
    if (it == reverse_->map.end()) {
      out.resize(mark);
      if (bad != nullptr) *bad = std::string(text.substr(at, i - at));
      return false;
    }
    out += static_cast<char>(it->second);
  }
  return true;
}

int TextCodePage::FromUnicode(char32_t cp) const {
  if (reverse_ == nullptr) return -1;
  auto it = reverse_->map.find(cp);
  return it == reverse_->map.end() ? -1 : it->second;
}

namespace {

// Byte maps between a table code page and ANSI, built once per code page.
struct AnsiMaps {
  uint8_t to_ansi[256];
  uint8_t from_ansi[256];
};

const AnsiMaps* MapsFor(int code_page) {
  // The dataset translates every field it shows: the last code page's
  // maps are at hand without the lock.
  thread_local int last_page = 0;
  thread_local const AnsiMaps* last_maps = nullptr;
  if (code_page == last_page && code_page != 0) return last_maps;
  static std::mutex mutex;
  static std::map<int, std::unique_ptr<AnsiMaps>> maps;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = maps.find(code_page);
  if (it != maps.end()) {
    last_page = code_page;
    last_maps = it->second.get();
    return last_maps;
  }
  const TextCodePage& table = TextCodePage::Get(code_page);
  const TextCodePage& ansi = TextCodePage::Get(1251);
  std::unique_ptr<AnsiMaps> m;
  if (table.SingleByte()) {
    m = std::make_unique<AnsiMaps>();
    for (int b = 0; b < 256; ++b) {
      // Control characters stay themselves where a side leaves them undefined.
      const int to = ansi.FromUnicode(table.ToUnicode(static_cast<uint8_t>(b)));
      const int from = table.FromUnicode(ansi.ToUnicode(static_cast<uint8_t>(b)));
      m->to_ansi[b] = static_cast<uint8_t>(b < 0x20 ? b : (to < 0 ? '?' : to));
      m->from_ansi[b] = static_cast<uint8_t>(b < 0x20 ? b : (from < 0 ? '?' : from));
    }
  }
  last_maps = maps.emplace(code_page, std::move(m)).first->second.get();
  last_page = code_page;
  return last_maps;
}

}  // namespace

void TableToAnsiBuffer(int code_page, const char* src, char* dst, size_t count) {
  const AnsiMaps* m = MapsFor(code_page);
  for (size_t i = 0; i < count; ++i)
    dst[i] = m != nullptr ? static_cast<char>(m->to_ansi[static_cast<unsigned char>(src[i])]) : src[i];
}

void AnsiToTableBuffer(int code_page, const char* src, char* dst, size_t count) {
  const AnsiMaps* m = MapsFor(code_page);
  for (size_t i = 0; i < count; ++i)
    dst[i] = m != nullptr ? static_cast<char>(m->from_ansi[static_cast<unsigned char>(src[i])]) : src[i];
}

std::string AnsiToTable(int code_page, std::string_view text) {
  std::string out(text);
  AnsiToTableBuffer(code_page, out.data(), out.data(), out.size());
  return out;
}

int CodePageOfLanguageDriver(uint8_t mark) {
  // Asked for every text a table converts: a table by mark.
  static const std::array<int, 256> by_mark = [] {
    std::array<int, 256> t{};
    for (const DriverMark& d : kDriverMarks) t[d.mark] = d.code_page;
    return t;
  }();
  return by_mark[mark];
}

int CodePageNamed(std::string_view text) {
  std::string t;
  for (char c : text)
    if (c != '-' && c != '_' && c != ' ') t += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (t == "utf8") return kCodePageUtf8;
  if (t == "mazovia") return kCodePageMazovia;
  if (t == "kamenicky") return 895;
  for (const char* prefix : {"windows", "cp", "ibm", "dos"})
    if (t.rfind(prefix, 0) == 0) {
      t = t.substr(std::string_view(prefix).size());
      break;
    }
  if (t.empty() || t.size() > 5 || t.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoi(t);
}

}  // namespace plat
