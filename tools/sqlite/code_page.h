// CodePage: the code page a table's texts are stored in, as SQL sees it.
// The conversions to and from the UTF-8 that SQLite speaks are the
// platform's (plat::TextCodePage); what is kept here is what SQL needs
// beyond them: the name of the code page's collation and its order.
//
// A code page orders texts by their stored bytes, a text that is the
// start of another first. That is the order of the character keys of the
// table's index tags, so a column compared and sorted this way can be
// searched and walked through a tag.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/text_codepage.h"

namespace tessera_sql {

class CodePage {
 public:
  // A code page as users name it: "866", "cp1252", "windows-1251",
  // "ibm850", "mazovia", "utf-8" (plat::CodePageNamed). Code pages live
  // for the life of the process. Raises std::runtime_error for a name that
  // is none, plat::CodePageError for one the system cannot convert.
  static const CodePage& Named(std::string_view name);
  // By number (Windows numbering, plat/text_codepage.h).
  static const CodePage& Numbered(int number);

  // The name of its collation in SQL: "cp866", "cp1252", "mazovia", "utf8".
  const std::string& Name() const { return name_; }
  int Number() const { return text_.Number(); }
  // UTF-8 stored as it is (no conversion, byte order).
  bool IsUtf8() const { return text_.Number() == plat::kCodePageUtf8; }

  // Appends the UTF-8 form of stored bytes.
  void Decode(std::string_view bytes, std::string& out) const;
  std::string Decode(std::string_view bytes) const {
    std::string out;
    Decode(bytes, out);
    return out;
  }
  // The UTF-8 form of stored bytes in `scratch` (which only grows), for the
  // many texts of a scan: a view valid until `scratch` is used again, with
  // a NUL after its end.
  std::string_view DecodeInto(std::string_view bytes, std::string& scratch) const;
  // Appends the stored form of a UTF-8 text. False when a character has no
  // byte in this code page or the text is no UTF-8; `bad` then receives
  // that character (as UTF-8) and `out` is left as it was.
  bool Encode(std::string_view utf8, std::string& out, std::string* bad = nullptr) const {
    return text_.TryFromUtf8(utf8, out, bad);
  }

  // The stored byte of the same letter in the other case (Latin, Latin-1,
  // Greek and Cyrillic letters the code page holds in both); the byte
  // itself for any other, and for every byte of a multi-byte code page.
  uint8_t OtherCase(uint8_t byte) const { return other_case_[byte]; }

  // Orders two UTF-8 texts as their stored forms order: <0, 0, >0.
  // Characters the code page lacks sort after every byte, by code point.
  int Compare(std::string_view a, std::string_view b) const;

  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;

 private:
  explicit CodePage(const plat::TextCodePage& text);
  // The order of texts of a code page that is neither single-byte nor
  // UTF-8: their stored forms compared.
  int CompareStored(std::string_view a, std::string_view b) const;

  const plat::TextCodePage& text_;
  std::string name_;
  std::array<bool, 128> ascii_same_{};  // the byte is its ASCII character
  std::array<uint8_t, 256> other_case_{};
};

}  // namespace tessera_sql
