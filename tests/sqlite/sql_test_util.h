// A connection with the tessera module for the tests, and the results of
// its queries as comparable text.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/sqlite/module.h"

namespace sql_test {

class Sql {
 public:
  Sql() {
    sqlite3_open(":memory:", &db_);
    char* error = nullptr;
    EXPECT_EQ(tessera_sql::RegisterModule(db_, &error), SQLITE_OK) << (error != nullptr ? error : "");
    sqlite3_free(error);
  }
  ~Sql() { sqlite3_close(db_); }
  Sql(const Sql&) = delete;
  Sql& operator=(const Sql&) = delete;

  sqlite3* db() const { return db_; }

  // Runs statements; the SQLite result code, the message in *error.
  int Exec(const std::string& sql, std::string* error = nullptr) {
    char* e = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &e);
    if (error != nullptr) *error = e != nullptr ? e : "";
    sqlite3_free(e);
    return rc;
  }
  void Ok(const std::string& sql) {
    std::string error;
    ASSERT_EQ(Exec(sql, &error), SQLITE_OK) << sql << ": " << error;
  }

  // Each row as one text: its values with their storage class
  // ("i:5|r:2.5|t:abc|b:6162|n"); empty when the query fails (and the test
  // fails with it).
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return rows;
    }
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i > 0) row += "|";
        switch (sqlite3_column_type(st, i)) {
          case SQLITE_NULL: row += "n"; break;
          case SQLITE_INTEGER: row += "i:" + std::to_string(sqlite3_column_int64(st, i)); break;
          case SQLITE_FLOAT: {
            char b[40];
            std::snprintf(b, sizeof b, "r:%.17g", sqlite3_column_double(st, i));
            row += b;
            break;
          }
          case SQLITE_TEXT: row += "t:" + std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i))); break;
          default: {
            static const char* const digits = "0123456789abcdef";
            row += "b:";
            const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st, i));
            for (int k = 0; k < sqlite3_column_bytes(st, i); ++k) (row += digits[p[k] >> 4]) += digits[p[k] & 15];
          }
        }
      }
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
    sqlite3_finalize(st);
    return rows;
  }
  std::string One(const std::string& sql) {
    const auto rows = Rows(sql);
    return rows.empty() ? "<none>" : rows[0];
  }
  // What EXPLAIN QUERY PLAN says, its lines joined.
  std::string Plan(const std::string& sql) {
    std::string plan;
    for (const std::string& row : Rows("EXPLAIN QUERY PLAN " + sql)) plan += row.substr(row.rfind("|t:") + 3) + "\n";
    return plan;
  }

 private:
  sqlite3* db_ = nullptr;
};

// A copy of a fixture case folder in `dir`.
inline void CopyFixture(const std::string& fixture_dir, const std::string& dir) {
  for (const auto& e : std::filesystem::directory_iterator(fixture_dir))
    std::filesystem::copy_file(e.path(), dir + "/" + e.path().filename().string(),
                               std::filesystem::copy_options::overwrite_existing);
}

// The whole of a file, to compare a table's bytes before and after a
// statement that must not change it.
inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::string Quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

}  // namespace sql_test
