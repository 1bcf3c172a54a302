// The process-wide alias list of the dataset's DatabaseName: the entry
// "Default Directory" (the directory of the running program), then every
// NAME=VALUE line of the section "Alias" of "tessera.cfg" in the user's
// configuration directory ($XDG_CONFIG_HOME, else ~/.config), upper-cased.
// The file is read on first use; a missing or unreadable file leaves the
// list with its first entry.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessera {

inline constexpr const char kDefaultDirectoryAlias[] = "Default Directory";
inline constexpr const char kAliasFileName[] = "tessera.cfg";
inline constexpr const char kAliasSection[] = "Alias";

class TAliasList {
 public:
  // The process's list, loaded on first call.
  static TAliasList& Instance();

  // Empties the list and reads it again from `config_dir` (empty: the
  // configuration directory); tests point it at a folder of their own.
  void Load(std::string_view config_dir = {});

  // The value of an entry (names compare in upper case), none when absent.
  std::optional<std::string> Find(std::string_view name) const;
  void Add(std::string_view name, std::string_view value);
  const std::vector<std::pair<std::string, std::string>>& Entries() const { return entries_; }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

// The directory a DatabaseName stands for, with a trailing "/" (empty for
// the current directory): "Default Directory" (any case) is the program's
// directory; an alias its value; anything else itself.
std::string ResolveDatabaseDirectory(std::string_view database_name);

// The directory of the running program, with a trailing "/".
std::string ProgramDirectory();

}  // namespace tessera
