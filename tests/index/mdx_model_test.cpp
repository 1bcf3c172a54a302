// A randomized model test of the multiple index: thousands of appends, key
// changes and FOR flips on a table with many duplicates, with a plain
// sorted model beside every tag. Equal keys are not ordered by record in
// this format, so after every batch each tag must hold exactly the model's
// (key, record) pairs, list the keys in the model's order both ways, seeks
// must land on a record of the sought key, and the structural check must
// hold.
#include <gtest/gtest.h>

#include "index/mdx_check.h"
#include "index/mdx_file.h"
#include "index_model.h"
#include "support/temp_dir.h"

namespace {

using index_model::EqualKeys;
using index_model::TagModel;

TEST(MdxModel, RandomAppendsChangesAndForFlips) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string dbf = dir / "m.dbf", mdx = dir / "m.mdx";
  index_model::CreateModelTable(dbf);
  tessera::KTO_dBHandler table(dbf, true, true);
  const EqualKeys any = EqualKeys::kAnyOrder;
  std::vector<TagModel> models = {
      {"NAME", false, false, 0, 0, any, {}},  {"NAMED", false, true, 0, 0, any, {}},
      {"NUM", false, false, 1, 0, any, {}},   {"UNAME", true, false, 0, 0, any, {}},
      {"FOK", false, false, 0, 1, any, {}},   {"NUMPOS", false, true, 1, 2, any, {}},
      {"UNUMD", true, true, 1, 0, any, {}},
  };
  {
    tessera::KTobjMDXFile f(&table, mdx, false, true, true, true);
    ASSERT_TRUE(f.Opened());
    for (const auto& m : models) ASSERT_TRUE(f.CreateTag(m.name, m.Expression(), m.unique, !m.descending, m.Condition()));
  }
  ASSERT_EQ(table.OpenIndexFile(mdx), 0);

  index_model::ModelRun run(table, 20261209, 1000);
  for (int batch = 0; batch < 12; ++batch) {
    run.Batch(models, 400);
    SCOPED_TRACE("batch " + std::to_string(batch));
    for (const auto& m : models) run.CheckOrder(m);
    run.CheckSeeks(models[0], 40);
    const auto faults = tessera::CheckMdxFile(*static_cast<tessera::KTobjMDXFile*>(table.IndexFile(1)));
    for (const auto& f : faults) ADD_FAILURE() << f;
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
