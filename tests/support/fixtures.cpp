#include "support/fixtures.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : line) {
    if (c == '\t') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  out.push_back(cur);
  return out;
}

}  // namespace

std::string FixturePath(const std::string& relative) { return std::string(PYX_FIXTURES) + "/" + relative; }

std::string FromHex(const std::string& hex) {
  if (hex == "-") return std::string();
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::vector<ExpectedTable> ReadExpected(const std::string& case_dir) {
  std::ifstream in(FixturePath(case_dir + "/expected.txt"));
  if (!in) throw std::runtime_error("cannot read expected.txt of " + case_dir);
  std::vector<ExpectedTable> tables;
  ExpectedTable* table = nullptr;
  ExpectedOrder* order = nullptr;
  std::string line;
  while (std::getline(in, line)) {
    const auto parts = SplitTabs(line);
    const std::string& tag = parts[0];
    if (tag == "oracle") {
      tables.emplace_back();
      table = &tables.back();
      order = nullptr;
      continue;
    }
    if (table == nullptr) continue;
    if (tag == "field" && parts.size() >= 5) {
      table->fields.push_back({parts[2], parts[3][0], std::stoi(parts[4]), std::stoi(parts[5])});
    } else if (tag == "r") {
      ExpectedRecord r;
      r.recno = std::stoi(parts[1]);
      r.deleted = parts[2] == "1";
      r.values.assign(parts.begin() + 3, parts.end());
      table->records.push_back(std::move(r));
    } else if (tag == "order") {
      table->orders.emplace_back();
      order = &table->orders.back();
    } else if (tag == "k" && order != nullptr) {
      order->keys.push_back({std::stoi(parts[1]), parts.size() > 2 ? parts[2] : std::string()});
    } else if (tag == "end_order") {
      order = nullptr;
    } else if (order != nullptr && parts.size() >= 2) {
      order->items[tag] = parts[1];
    } else if (parts.size() >= 2) {
      table->items[tag] = parts[1];
    }
  }
  return tables;
}

}  // namespace testing_support
