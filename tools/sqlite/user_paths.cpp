#include "tools/sqlite/user_paths.h"

#include "platform/path.h"

namespace tessera_sql {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty() || from == to) return;
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
}

void ShowFilesInFolder(std::string& message, const std::string& dir, std::string_view ends) {
  std::string prefix = plat::UpperName(plat::FullPath(dir.empty() ? "." : dir));
  if (prefix.back() != '/') prefix += '/';
  for (size_t at = 0; (at = message.find(prefix, at)) != std::string::npos;) {
    size_t end = at + prefix.size();
    while (end < message.size() && ends.find(message[end]) == std::string_view::npos) ++end;
    if (end == at + prefix.size() || (end < message.size() && message[end] == '/')) {
      at = end;
      continue;
    }
    const std::string engine_name = message.substr(at, end - at);
    std::string name = engine_name.substr(prefix.size());
    const std::string on_disk = plat::ResolveCase(engine_name);
    if (plat::FileExists(on_disk)) name = on_disk.substr(on_disk.rfind('/') + 1);
    const std::string shown = dir + name;
    message.replace(at, engine_name.size(), shown);
    at += shown.size();
  }
}

}  // namespace tessera_sql
