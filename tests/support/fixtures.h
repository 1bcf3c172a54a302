// Reading the fixtures' expected.txt files (see fixtures/README.md): one
// block per table with its header items, records and orders.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct ExpectedField {
  std::string name;
  char type = 'C';
  int width = 0;
  int decimals = 0;
};

struct ExpectedRecord {
  int recno = 0;
  bool deleted = false;
  std::vector<std::string> values;
};

struct ExpectedKey {
  int recno = 0;
  std::string key;
};

struct ExpectedOrder {
  std::map<std::string, std::string> items;  // bag, tag, key_expr, for_expr, ...
  std::vector<ExpectedKey> keys;
};

struct ExpectedTable {
  std::map<std::string, std::string> items;  // table, version_byte, reccount, ...
  std::vector<ExpectedField> fields;
  std::vector<ExpectedRecord> records;
  std::vector<ExpectedOrder> orders;
};

// Every table block of a fixture case folder's expected.txt.
std::vector<ExpectedTable> ReadExpected(const std::string& case_dir);

std::string FixturePath(const std::string& relative);

// Bytes of a hex text ("-" is empty).
std::string FromHex(const std::string& hex);

}  // namespace testing_support
