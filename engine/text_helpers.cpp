#include "engine/text_helpers.h"

#include <cstring>

#include "platform/codepage.h"
#include "platform/text_list.h"

namespace tessera {

std::string_view ExtensionOf(std::string_view name) {
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return {};
  return name.substr(dot);
}

std::string DefaultExtension(std::string_view name, std::string_view extension) {
  if (!ExtensionOf(name).empty()) return std::string(name);
  return std::string(name) + std::string(extension);
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::string_view ext = ExtensionOf(file);
  if (!ext.empty()) file.remove_suffix(ext.size());
  return std::string(file);
}

void PadBuffer(char* buffer, char c, size_t n) {
  size_t len = std::strlen(buffer);
  while (len < n) buffer[len++] = c;
  buffer[len] = '\0';
}

void TrimBuffer(char* buffer) {
  size_t len = std::strlen(buffer);
  while (len > 0 && buffer[len - 1] == ' ') --len;
  buffer[len] = '\0';
}

std::string TrimRightText(std::string_view text) { return std::string(plat::TrimRightOf(text)); }

std::string TrimLeftText(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  return first == std::string_view::npos ? std::string() : std::string(text.substr(first));
}

std::string TrimText(std::string_view text) { return std::string(plat::TrimOf(text)); }

int CompareLocale(std::string_view a, std::string_view b) { return plat::CompareText(a, b); }
int CompareLocaleIgnoreCase(std::string_view a, std::string_view b) { return plat::CompareTextIgnoreCase(a, b); }

}  // namespace tessera
