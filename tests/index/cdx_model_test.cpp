// A randomized model test of the compound index: thousands of appends, key
// changes and FOR flips on a table with duplicates, with a plain sorted
// model beside every tag. After every batch the tags must list exactly the
// model's keys in order, seeks must land where the model says, and the
// structural check must hold.
#include <gtest/gtest.h>

#include "index/cdx_check.h"
#include "index_model.h"
#include "support/temp_dir.h"

namespace {

using index_model::EqualKeys;
using index_model::TagModel;

TEST(CdxModel, RandomAppendsChangesAndForFlips) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string dbf = dir / "m.dbf", cdx = dir / "m.cdx";
  index_model::CreateModelTable(dbf);
  tessera::KTO_dBHandler table(dbf, true, true);
  const EqualKeys by_record = EqualKeys::kRecordOrder;
  std::vector<TagModel> models = {
      {"NAME", false, false, 0, 0, by_record, {}},  {"NAMED", false, true, 0, 0, by_record, {}},
      {"NUM", false, false, 1, 0, by_record, {}},   {"UNAME", true, false, 0, 0, by_record, {}},
      {"FOK", false, false, 0, 1, by_record, {}},   {"NUMPOS", false, true, 1, 2, by_record, {}},
  };
  {
    tessera::KTobjCDXFile f(&table, cdx, false, true, true, true);
    ASSERT_TRUE(f.Opened());
    for (const auto& m : models) ASSERT_TRUE(f.CreateTag(m.name, m.Expression(), m.unique, !m.descending, m.Condition()));
  }
  ASSERT_EQ(table.OpenIndexFile(cdx), 0);

  index_model::ModelRun run(table, 20261208, 10000);
  for (int batch = 0; batch < 16; ++batch) {
    run.Batch(models, 400);
    SCOPED_TRACE("batch " + std::to_string(batch));
    for (const auto& m : models) run.CheckOrder(m);
    run.CheckSeeks(models[0], 40);
    const auto faults = tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(table.IndexFile(1)));
    for (const auto& f : faults) ADD_FAILURE() << f;
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
