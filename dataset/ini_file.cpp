#include "dataset/ini_file.h"

#include <fstream>
#include <iterator>

#include "dbkit/field_def.h"

namespace tessera {
namespace {

constexpr std::streamoff kMaxIniBytes = 1 << 20;

std::string_view Trim(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\r')) t.remove_suffix(1);
  return t;
}

}  // namespace

IniEntries ParseIniSection(std::string_view text, std::string_view section) {
  IniEntries out;
  bool inside = false;
  size_t start = 0;
  // A UTF-8 byte order mark some editors write would hide the first header.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      inside = close != std::string_view::npos && dbkit::SameName(Trim(line.substr(1, close - 1)), section);
      continue;
    }
    if (!inside) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view name = Trim(line.substr(0, eq));
    if (name.empty()) continue;
    out.emplace_back(std::string(name), std::string(Trim(line.substr(eq + 1))));
  }
  return out;
}

IniEntries ReadIniSection(const std::string& path, std::string_view section) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || size > kMaxIniBytes) return {};
  in.seekg(0, std::ios::beg);
  std::string text(static_cast<size_t>(size), '\0');
  if (!in.read(text.data(), size)) return {};
  return ParseIniSection(text, section);
}

}  // namespace tessera
