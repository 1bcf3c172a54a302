// CodePage: the single-byte code page a table's texts are stored in, and
// their conversion to and from the UTF-8 that SQLite speaks. The tables are
// built once per code page from glibc's iconv, so they agree with every
// other program on the system.
//
// A code page also orders texts: byte by byte in the code page, a text that
// is the start of another first. That is the order of the character keys
// of the table's index tags, so a column compared and sorted this way can
// be searched and walked through a tag.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tessera_sql {

class CodePage {
 public:
  // "866", "cp866", "CP1251", "ibm866", "koi8-r", "utf-8" ...: any name
  // iconv knows of a single-byte code page, a number meaning "CPnumber".
  // Code pages live for the life of the process. Raises
  // std::runtime_error for a name that is none.
  static const CodePage& Named(std::string_view name);

  // The name the code page goes by in SQL: "cp866", "koi8r", "utf8" (the
  // name of its collation).
  const std::string& Name() const { return name_; }
  // UTF-8 stored as it is (no conversion, byte order).
  bool IsUtf8() const { return utf8_; }

  // Appends the UTF-8 form of stored bytes.
  void Decode(std::string_view bytes, std::string& out) const;
  // Writes the UTF-8 form of stored bytes to `out`, which has room for
  // MaxDecoded(bytes.size()) bytes; answers how many it wrote.
  size_t DecodeTo(std::string_view bytes, char* out) const;
  static size_t MaxDecoded(size_t n) { return n * 3 + 4; }
  std::string Decode(std::string_view bytes) const {
    std::string out;
    Decode(bytes, out);
    return out;
  }
  // Appends the stored form of a UTF-8 text. False when a character has no
  // byte in this code page or the text is no UTF-8; `bad` then receives
  // that character (as UTF-8) and `out` is left as it was.
  bool Encode(std::string_view utf8, std::string& out, std::string* bad = nullptr) const;

  // The stored byte of the same letter in the other case (Latin, Latin-1,
  // Greek and Cyrillic letters the code page holds in both); the byte
  // itself for any other.
  uint8_t OtherCase(uint8_t byte) const { return other_case_[byte]; }

  // Orders two UTF-8 texts as their stored forms order: <0, 0, >0.
  // Characters the code page lacks sort after every byte, by code point.
  int Compare(std::string_view a, std::string_view b) const;

 private:
  explicit CodePage(std::string iconv_name, std::string name);

  std::string name_;
  bool utf8_ = false;
  // The UTF-8 form of each byte: up to three bytes, then their number.
  std::array<std::array<char, 4>, 256> utf8_of_{};
  bool ascii_clean_ = false;  // every byte below 0x80 is its ASCII character
  std::unordered_map<char32_t, uint8_t> byte_of_;  // characters above U+007F
  std::array<bool, 128> ascii_same_{};             // the byte is its ASCII character
  std::array<uint8_t, 256> other_case_{};
};

}  // namespace tessera_sql
