// The two single-byte code pages of the system: table texts are OEM (CP866),
// window texts ANSI (CP1251). Conversion tables are built once, on first
// use, from glibc's iconv, so they match what every other tool on the
// system does with these code pages.
//
// Letter case and ordering of engine texts are defined on the OEM code page,
// the one table data, index keys and expressions are held in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

enum class CodePage { kOem, kAnsi };

// Unicode code point of one byte; bytes the code page leaves undefined map
// to U+FFFD.
char32_t ToUnicode(CodePage cp, uint8_t byte);

// Whole-text conversions. Characters the target cannot hold become '?'.
std::string OemToAnsi(std::string_view text);
std::string AnsiToOem(std::string_view text);
std::string OemToUtf8(std::string_view text);
std::string AnsiToUtf8(std::string_view text);
std::string Utf8ToOem(std::string_view text);
std::string Utf8ToAnsi(std::string_view text);
std::u16string OemToUtf16(std::string_view text);
std::u16string AnsiToUtf16(std::string_view text);
std::string Utf16ToAnsi(std::u16string_view text);

// In-place buffer conversions of `count` bytes (source and destination may
// be the same buffer).
void OemToAnsiBuffer(const char* src, char* dst, size_t count);
void AnsiToOemBuffer(const char* src, char* dst, size_t count);

// Letter case in the engine's code page (OEM): Latin and Cyrillic letters,
// including Ё/ё, change case; every other byte is kept.
void UpperBuffer(char* buffer, size_t count);
void LowerBuffer(char* buffer, size_t count);
std::string UpperText(std::string_view text);
std::string LowerText(std::string_view text);
uint8_t UpperByte(uint8_t b);
uint8_t LowerByte(uint8_t b);
// The same for ANSI texts (the window side).
std::string UpperAnsi(std::string_view text);

// Locale-style comparison of engine texts: letters in alphabetical order
// (Ё after Е), digits and punctuation before letters. Answers <0, 0, >0.
int CompareText(std::string_view a, std::string_view b);
int CompareTextIgnoreCase(std::string_view a, std::string_view b);

}  // namespace plat
