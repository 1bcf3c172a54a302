#include "dataset/alias_list.h"

#include <unistd.h>

#include <climits>

#include "dataset/ini_file.h"
#include "dbkit/field_def.h"
#include "platform/path.h"

namespace tessera {
namespace {

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

TAliasList& TAliasList::Instance() {
  static TAliasList* list = [] {
    static TAliasList l;
    l.Load();
    return &l;
  }();
  return *list;
}

void TAliasList::Load(std::string_view config_dir) {
  entries_.clear();
  entries_.emplace_back(kDefaultDirectoryAlias, ProgramDirectory());
  std::string dir = config_dir.empty() ? plat::ConfigDirectory() : std::string(config_dir);
  if (dir.empty()) return;
  const std::string path = WithSlash(dir) + kAliasFileName;
  for (const auto& [name, value] : ReadIniSection(path, kAliasSection))
    entries_.emplace_back(plat::UpperName(name), plat::UpperName(value));
}

std::optional<std::string> TAliasList::Find(std::string_view name) const {
  const std::string wanted = plat::UpperName(name);
  for (const auto& [n, v] : entries_)
    if (plat::UpperName(n) == wanted) return v;
  return std::nullopt;
}

void TAliasList::Add(std::string_view name, std::string_view value) {
  entries_.emplace_back(std::string(name), std::string(value));
}

std::string ProgramDirectory() {
  char buffer[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return WithSlash(plat::FullPath("."));
  return plat::DirectoryOf(std::string_view(buffer, static_cast<size_t>(n)));
}

std::string ResolveDatabaseDirectory(std::string_view database_name) {
  if (dbkit::SameName(database_name, kDefaultDirectoryAlias)) return ProgramDirectory();
  std::string dir(database_name);
  if (std::optional<std::string> value = TAliasList::Instance().Find(database_name)) dir = *value;
  return WithSlash(std::move(dir));
}

}  // namespace tessera
