// A randomized model test of the single-tag formats: thousands of appends,
// key changes and FOR flips on a table with many equal keys, with a plain
// ordered list beside every NTX and NDX file (equal keys in the order they
// were inserted, a new one after the others). After every batch each tag
// lists exactly the model's records in order, forwards and backwards,
// seeks land where the model says, and the file's own check holds.
#include <gtest/gtest.h>

#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "index_model.h"
#include "support/temp_dir.h"

namespace {

using index_model::EqualKeys;
using index_model::TagModel;

void RunModel(bool ntx) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  const std::string dbf = dir / "m.dbf";
  index_model::CreateModelTable(dbf);
  tessera::KTO_dBHandler table(dbf, true, true);
  const EqualKeys in_turn = EqualKeys::kInsertionOrder;
  std::vector<TagModel> models;
  if (ntx) {
    models = {{"NAME", false, false, 0, 0, in_turn, {}},  {"NAMED", false, true, 0, 0, in_turn, {}},
              {"NUM", false, false, 1, 0, in_turn, {}},   {"UNAME", true, false, 0, 0, in_turn, {}},
              {"FOK", false, false, 0, 1, in_turn, {}},   {"NUMPOS", false, true, 1, 2, in_turn, {}},
              {"UNAMED", true, true, 0, 0, in_turn, {}}};
  } else {
    models = {{"NAME", false, false, 0, 0, in_turn, {}},
              {"NUM", false, false, 1, 0, in_turn, {}},
              {"UNAME", true, false, 0, 0, in_turn, {}}};
  }
  const std::string ext = ntx ? ".NTX" : ".NDX";
  std::string list;
  for (const auto& m : models) {
    table.CreateIndexTag(dir / (m.name + ext), "", m.Expression(), m.Condition(),
                         m.unique ? tessera::kUniqueKeys : tessera::kDuplicateKeys, m.descending ? 1 : 0);
    list += (list.empty() ? "" : ",") + m.name + ext;
  }
  ASSERT_EQ(table.OpenIndexList(list, ""), 0);

  index_model::ModelRun run(table, ntx ? 1306 : 1305, 10000);
  for (int batch = 0; batch < 10; ++batch) {
    run.Batch(models, 400);
    SCOPED_TRACE("batch " + std::to_string(batch));
    for (const auto& m : models) run.CheckOrder(m);
    run.CheckSeeks(models[0], 40);
    for (int slot = 1; slot <= static_cast<int>(models.size()); ++slot) {
      const auto faults = ntx ? tessera::CheckNtxFile(*static_cast<tessera::KTobjNTXFile*>(table.IndexFile(slot)))
                              : tessera::CheckNdxFile(*static_cast<tessera::KTobjNDXFile*>(table.IndexFile(slot)));
      for (const auto& f : faults) ADD_FAILURE() << f;
    }
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(SingleModel, NtxRandomAppendsChangesAndForFlips) { RunModel(true); }
TEST(SingleModel, NdxRandomAppendsAndChanges) { RunModel(false); }

}  // namespace
