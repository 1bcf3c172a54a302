// Small text helpers for file names and NUL-terminated buffers.
#pragma once

#include <string>
#include <string_view>

namespace tessera {

// The extension of a file name including its point ("" when none); only the
// last path component counts.
std::string_view ExtensionOf(std::string_view name);
// The name unchanged when it has an extension, else with `extension`
// (given with its point) appended.
std::string DefaultExtension(std::string_view name, std::string_view extension);
// The file name without its folder and without its extension.
std::string BaseName(std::string_view path);
// Appends `c` to the NUL-terminated text in `buffer` until it is n long.
void PadBuffer(char* buffer, char c, size_t n);
// Drops trailing blanks of the NUL-terminated text in `buffer`.
void TrimBuffer(char* buffer);
// Text without trailing / leading blanks.
std::string TrimRightText(std::string_view text);
std::string TrimLeftText(std::string_view text);
std::string TrimText(std::string_view text);

// Locale comparison of engine texts, with and without letter case.
int CompareLocale(std::string_view a, std::string_view b);
int CompareLocaleIgnoreCase(std::string_view a, std::string_view b);

}  // namespace tessera
