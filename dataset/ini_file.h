// A reader for initialisation files: "[Section]" headers and NAME=VALUE
// lines. Blank lines and lines starting with ";" or "#" are skipped; names
// and values are trimmed; section names compare without ASCII case. Lines
// without "=" are ignored, as is everything of a section that appears
// before its header. The file is read as bytes; nothing is converted.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessera {

using IniEntries = std::vector<std::pair<std::string, std::string>>;

// The entries of one section of a text, in file order.
IniEntries ParseIniSection(std::string_view text, std::string_view section);

// The same for a file; empty when the file cannot be read. Files larger
// than 1 MiB are not read (an alias file is a few lines).
IniEntries ReadIniSection(const std::string& path, std::string_view section);

}  // namespace tessera
