// Search texts for date and numeric tags, in every index format: a date
// as YYYYMMDD and a decimal number find their keys; a text that is neither
// is refused with the engine's error for a value of the wrong type, naming
// the tag (found by fuzzing: the platform's conversion error came through
// the search instead).
#include <gtest/gtest.h>

#include <string>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/index_tag.h"
#include "support/temp_dir.h"

namespace {

using tessera::KTO_dBHandler;

class SearchText : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    tessera::CreateTable(dbf_, 0x03, {{"ID", 'N', 4, 0}, {"BORN", 'D', 0, 0}, {"AMOUNT", 'N', 10, 2}});
    KTO_dBHandler t(dbf_, true, true);
    for (int i = 1; i <= 30; ++i) {
      t.BlankRecord();
      t.PutNumber("ID", i);
      t.PutRaw("BORN", "2024" + std::string(i < 10 ? "010" : "01") + std::to_string(i));
      t.PutNumber("AMOUNT", i * 1.5);
      t.AppendRecord();
    }
    const std::string ext = GetParam();
    const bool multiple = ext == ".cdx" || ext == ".mdx";
    born_ = dir_ / ("born" + ext);
    amount_ = multiple ? born_ : dir_ / ("amount" + ext);
    t.CreateIndexTag(born_, multiple ? "BORN" : "", "BORN", "", tessera::kDuplicateKeys, 0);
    t.CreateIndexTag(amount_, multiple ? "AMOUNT" : "", "AMOUNT", "", tessera::kDuplicateKeys, 0);
  }
  tessera::EngineScope engine_;
  testing_support::TempDir dir_;
  std::string dbf_ = dir_ / "t.dbf";
  std::string born_, amount_;
};

TEST_P(SearchText, DatesAndNumbersFoundOtherTextRefused) {
  const std::string ext = GetParam();
  const bool multiple = ext == ".cdx" || ext == ".mdx";
  bool found = false;
  {
    KTO_dBHandler t(dbf_, true, false);
    ASSERT_EQ(t.OpenIndexFile(born_), 0);
    if (!multiple) {
      ASSERT_EQ(t.OpenIndexFile(amount_), 0);
    }
    for (int n = 1; n <= 2; ++n) {
      const tessera::KTobjIndexTag* tag = t.TagByNumber(n);
      ASSERT_NE(tag, nullptr);
      const bool date = tag->KeyType() == 'D';
      t.SelectMasterTag(tag->Name(), false);
      found = t.SeekKeyText(date ? "20240117" : "25.5");
      EXPECT_TRUE(found) << tag->Name();
      EXPECT_EQ(t.GetNumber("ID"), 17) << tag->Name();
      // Numeric NTX and NDX tags keep their own reading of other text (a
      // stored key, 0); dates and the multiple formats refuse it.
      if (!date && !multiple) continue;
      for (const char* bad : {"B", "20:90715", "x1"}) {
        try {
          t.SeekKeyText(bad);
          ADD_FAILURE() << tag->Name() << " " << bad << ": no error";
        } catch (const tessera::ETesseraError& e) {
          const std::string msg = e.what();
          EXPECT_NE(msg.find("field is of incorrect type"), std::string::npos) << msg;
          EXPECT_NE(msg.find(tag->Name()), std::string::npos) << msg;
          EXPECT_NE(msg.find(bad), std::string::npos) << msg;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, SearchText, ::testing::Values(".cdx", ".mdx", ".ntx", ".ndx"),
                         [](const auto& info) { return std::string(info.param).substr(1); });

}  // namespace
