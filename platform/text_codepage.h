// The code pages of table texts. A table's header names the code page of
// its texts by a language-driver mark (byte 29); the callbook's own tables
// carry none and hold CP866. Any code page the system's iconv converts can
// be a table's: a single-byte one through a byte table built from iconv
// when it is first needed, a multi-byte one (932, 936, 949, 950) through
// iconv for each text. A code page the system has no conversion for is an
// error that names it, never text turned into '?'.
//
// Mazovia (Polish DOS, the mark 0x69) is not in iconv: it is CP437 with
// 17 positions given to Polish letters, so its table is iconv's CP437
// with those positions set here.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace plat {

// A code page without a conversion on this system.
class CodePageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Code page numbers are Windows' (437, 850, 1252, ...); 620 is Mazovia,
// 65001 UTF-8 (texts already in UTF-8, passed through).
constexpr int kCodePageOem = 866;
constexpr int kCodePageUtf8 = 65001;
constexpr int kCodePageMazovia = 620;

class TextCodePage {
 public:
  // The code page numbered `number`, its conversion built on first use and
  // kept for the process; raises CodePageError when the system has none.
  static const TextCodePage& Get(int number);

  int Number() const { return number_; }
  // "CP1252", "Mazovia", "UTF-8".
  const std::string& Name() const { return name_; }

  std::string ToUtf8(std::string_view text) const;
  // Characters the code page cannot hold become '?'.
  std::string FromUtf8(std::string_view text) const;
  // Appends the stored form of a UTF-8 text to `out`. False when a
  // character has no place in the code page or the text is no UTF-8:
  // `bad` (when given) then receives that character and `out` is left as
  // it was. For writers that must refuse what they cannot store.
  bool TryFromUtf8(std::string_view text, std::string& out, std::string* bad = nullptr) const;
  // Single-byte code pages and UTF-8 convert without iconv, a byte at a
  // time: ToUtf8Into writes the UTF-8 form of `text` to `out`, which has
  // room for Utf8Room(text.size()) bytes, and answers how many it wrote.
  // For readers that convert many short texts into one buffer.
  bool Direct() const { return single_byte_ || number_ == kCodePageUtf8; }
  size_t ToUtf8Into(std::string_view text, char* out) const;
  static constexpr size_t Utf8Room(size_t n) { return 3 * n + 1; }
  // Single-byte code pages: the character of a byte (U+FFFD where the code
  // page defines none), and the byte of a character (-1 when it has none).
  bool SingleByte() const { return single_byte_; }
  char32_t ToUnicode(uint8_t byte) const { return to_unicode_[byte]; }
  int FromUnicode(char32_t cp) const;

  TextCodePage(const TextCodePage&) = delete;
  TextCodePage& operator=(const TextCodePage&) = delete;
  ~TextCodePage();

 private:
  TextCodePage(int number, std::string name, std::string iconv_name);
  int number_;
  std::string name_;
  std::string iconv_name_;  // empty for UTF-8
  bool single_byte_ = true;
  char32_t to_unicode_[256] = {};
  // The UTF-8 form of each byte of a single-byte code page: up to three
  // bytes, then their number (copied four at a time).
  char utf8_of_[256][4] = {};
  struct Reverse;
  Reverse* reverse_ = nullptr;  // Unicode -> byte of a single-byte code page; owned
};

// One character of a UTF-8 text at s[i], advancing i past it. A byte that
// begins no well-formed character (a stray continuation, a truncated,
// overlong or surrogate sequence) is U+FFFD and one byte.
char32_t NextUtf8Char(std::string_view s, size_t& i);

// The window side of the callbook is ANSI (CP1251); the dataset translates
// field texts byte for byte between it and a table's code page (CP866 for
// the callbook's tables). Characters the target lacks become '?'; a
// multi-byte code page is passed through untranslated.
void TableToAnsiBuffer(int code_page, const char* src, char* dst, size_t count);
void AnsiToTableBuffer(int code_page, const char* src, char* dst, size_t count);
std::string AnsiToTable(int code_page, std::string_view text);

// The code page a language-driver mark names (the dBase and FoxPro table
// of driver IDs); 0 for no mark and for marks this table does not know.
int CodePageOfLanguageDriver(uint8_t mark);

// The code page a user names: "1252", "cp1252", "CP-866", "windows-1251",
// "ibm850", "mazovia", "utf-8"; 0 when the text names none.
int CodePageNamed(std::string_view text);

}  // namespace plat
