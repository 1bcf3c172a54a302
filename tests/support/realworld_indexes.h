// The index files of the folder of files other programs wrote
// (shared/realworld), each with the table it belongs to, as its README
// describes them. Used by the tests and by the fuzzers' seed writer.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

namespace realworld_detail {
inline std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}
inline std::string ExtOf(const std::filesystem::path& p) { return Upper(p.extension().string()); }
}  // namespace realworld_detail

struct IndexCase {
  std::string index;  // relative to the folder ("clip/custlast.ntx")
  std::string table;  // its table, relative too; empty when none is known
  bool stale = false;
};

inline bool IsIndexFile(const std::filesystem::path& p) {
  static const std::set<std::string> kinds = {".CDX", ".DCX", ".MDX", ".NDX", ".NTX"};
  return kinds.count(realworld_detail::ExtOf(p)) != 0;
}

// The index files of the folder, each with its table: the file of the same
// name beside it (.dbf; .dbc for a database container's .dcx), else the
// table of the README's table group that lists the index. The README's
// note on stale index files names those built on an older table.
inline std::vector<IndexCase> RealWorldIndexes(const std::string& folder) {
  namespace fs = std::filesystem;
  using realworld_detail::ExtOf;
  using realworld_detail::Upper;
  std::ifstream in(folder + "/README.md");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::set<std::string> stale;
  std::map<std::string, std::string> table_of;  // index (relative) -> table
  for (const std::string& line : lines) {
    if (line.find("**Stale index files**") != std::string::npos) {
      for (size_t at = 0; (at = line.find('`', at)) != std::string::npos;) {
        const size_t end = line.find('`', at + 1);
        if (end == std::string::npos) break;
        const std::string name = line.substr(at + 1, end - at - 1);
        if (IsIndexFile(name)) stale.insert(name);
        at = end + 1;
      }
    }
    // "| folder/group | a.dbf b.ntx ... | ..."
    if (line.rfind("| ", 0) != 0) continue;
    std::vector<std::string> cells;
    std::stringstream cell_stream(line.substr(1));
    for (std::string cell; std::getline(cell_stream, cell, '|');) {
      const size_t b = cell.find_first_not_of(' '), e = cell.find_last_not_of(' ');
      cells.push_back(b == std::string::npos ? std::string() : cell.substr(b, e - b + 1));
    }
    if (cells.size() < 2 || cells[0].find('/') == std::string::npos) continue;
    const std::string group = cells[0].substr(0, cells[0].find('/'));
    std::istringstream files(cells[1]);
    std::vector<std::string> names;
    for (std::string f; files >> f;) names.push_back(f);
    std::string table;
    for (const auto& f : names)
      if (Upper(fs::path(f).extension().string()) == ".DBF") table = group + "/" + f;
    for (const auto& f : names)
      if (IsIndexFile(f) && !table.empty()) table_of[group + "/" + f] = table;
  }
  std::vector<IndexCase> cases;
  const fs::path root = folder;
  for (const auto& dir : fs::directory_iterator(root)) {
    if (!dir.is_directory()) continue;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      if (!e.is_regular_file() || !IsIndexFile(e.path())) continue;
      IndexCase c;
      c.index = dir.path().filename().string() + "/" + e.path().filename().string();
      const std::string want = Upper(e.path().stem().string()) + (ExtOf(e.path()) == ".DCX" ? ".DBC" : ".DBF");
      for (const auto& t : fs::directory_iterator(dir.path()))
        if (Upper(t.path().filename().string()) == want) c.table = dir.path().filename().string() + "/" + t.path().filename().string();
      if (c.table.empty() && table_of.count(c.index) != 0) c.table = table_of[c.index];
      c.stale = stale.count(c.index) != 0;
      cases.push_back(c);
    }
  }
  std::sort(cases.begin(), cases.end(), [](const IndexCase& a, const IndexCase& b) { return a.index < b.index; });
  return cases;
}

}  // namespace testing_support
