// Shared set-up of the dataset tests: callbook tables copied into a fresh
// folder (the fixture callbook with its index, or a pyx-sample table with
// the eleven tags built), a data link that asks for a window of rows as a
// grid does, and helpers that read a table behind the dataset's back.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dataset/tessera_data_set.h"
#include "dbkit/data_link.h"
#include "dbkit/data_source.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "platform/codepage.h"
#include "platform/path.h"
#include "support/fixtures.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace dataset_test {

using testing_support::TempDir;

// A link that holds `rows` buffered rows, as a grid of that many lines.
class WindowLink : public dbkit::DataLink {
 public:
  explicit WindowLink(int rows) { SetBufferCount(rows); }
  int changes = 0;

 protected:
  void DataSetChanged() override { ++changes; }
};

// Copies the files of a fixture folder into `dir`.
inline void CopyFixture(const std::string& fixture_dir, const std::string& dir) {
  for (const auto& e : std::filesystem::directory_iterator(testing_support::FixturePath(fixture_dir)))
    if (e.path().extension() != ".md" && e.path().extension() != ".txt")
      std::filesystem::copy_file(e.path(), std::filesystem::path(dir) / e.path().filename());
}

// Builds the eleven callbook tags into DIR/PYX.CDX.
inline void BuildCallbookTags(const std::string& dir) {
  tessera::KTO_dBHandler t(dir + "/Pyx.DBF", false, true);
  for (const auto& tag : pyx_sample::kCallbookTags)
    t.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
}

// The faults `tessera check` would report for DIR/PYX.CDX.
inline std::vector<std::string> CheckCallbookIndex(const std::string& dir) {
  tessera::KTO_dBHandler t(dir + "/Pyx.DBF", true, false);
  tessera::KTobjCDXFile file(&t, dir + "/PYX.CDX", false, false, true, false);
  return tessera::CheckCdxFile(file);
}

// Raw bytes of a field of a record, read with a table object of its own.
inline std::string StoredRaw(const std::string& table, int32_t recno, const std::string& field) {
  tessera::KTO_dBHandler t(table, true, false);
  t.GotoRecord(recno);
  return t.GetRaw(field);
}

inline std::string Ansi(std::string_view utf8) { return plat::Utf8ToAnsi(utf8); }

// A dataset on DIR/Pyx.DBF with PYX.CDX open, shown through a link of
// `rows` rows.
class CallbookDataSet {
 public:
  CallbookDataSet(const std::string& dir, const std::string& tag, int rows = 1) : link(rows) {
    ds.SetDatabaseName(dir);
    ds.SetTableName("Pyx.DBF");
    ds.IndexFiles().Add("PYX.CDX");
    ds.SetIndexName(tag);
    source.SetDataSet(&ds);
    link.SetDataSource(&source);
  }
  ~CallbookDataSet() {
    link.SetDataSource(nullptr);
    source.SetDataSet(nullptr);
  }
  std::string Call() { return ds.FieldByName("CALL_")->AsString(); }

  tessera::TTesseraDataSet ds;
  dbkit::DataSource source;
  WindowLink link;
};

}  // namespace dataset_test
