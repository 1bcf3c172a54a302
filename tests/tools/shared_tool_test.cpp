// The tessera tool beside the callbook: the same record locks whether the
// tool was told of the index or not, the production index kept current by
// itself, --no-index saying what it leaves behind, and a rebuild refused
// while another program is in the index.
#include <gtest/gtest.h>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "support/run_command.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

using testing_support::RunCommand;
using testing_support::TempDir;

std::string Tessera(const std::string& args) { return std::string(TESSERA_BIN) + " " + args; }

class SharedToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards 60 " + dir_.path()).status, 0);
    tessera::KTO_dBHandler t(table_, false, true);
    for (const auto& tag : pyx_sample::kCallbookTags)
      t.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  }
  std::string Quoted(const std::string& name) { return "'" + (dir_ / name) + "'"; }
  testing_support::CommandResult Check() { return RunCommand(Tessera("check " + Quoted("Pyx.DBF") + " " + Quoted("PYX.CDX"))); }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::string table_ = dir_ / "Pyx.DBF";
};

// The callbook edits card 10 (its dataset holds the record's lock with
// PYX.CDX open, under its Default protocol). The tool, told nothing of the
// index, meets that lock and keeps PYX.CDX current for the card it may
// change.
TEST_F(SharedToolTest, SharedSetBesideTheCallbooksEditMeetsItsLockAndKeepsTheIndex) {
  tessera::KTO_dBHandler callbook(table_, true, true);
  callbook.SetLockProtocol(tessera::kDefaultLock);
  ASSERT_EQ(callbook.OpenIndexFile("PYX.CDX"), 0);
  callbook.SelectMasterTag("CALL", false);
  callbook.GotoRecord(10);
  ASSERT_TRUE(callbook.LockRecord());
  auto r = RunCommand(Tessera("set " + Quoted("Pyx.DBF") + " 10 TEL_=111 --no-wait 2>&1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Record is locked by another user\n");
  r = RunCommand(Tessera("set " + Quoted("Pyx.DBF") + " 11 TEL_=222 2>&1"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "");
  r = RunCommand(Tessera("append " + Quoted("Pyx.DBF") + " CALL_=ZZ0TOOL TEL_=333 2>&1"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "61\n");
  // The callbook sees both at its next search.
  callbook.ExactKeyOnly = true;
  EXPECT_TRUE(callbook.SeekKeyText("ZZ0TOOL"));
  EXPECT_EQ(callbook.CurrentRecord(), 61);
  callbook.UnlockTable();
  r = Check();
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string keys = RunCommand(Tessera("keys " + Quoted("Pyx.DBF") + " " + Quoted("PYX.CDX") + " TEL")).out;
  EXPECT_NE(keys.find("\n11\t222\n"), std::string::npos);
  EXPECT_NE(keys.find("\n61\t333\n"), std::string::npos);
}

TEST_F(SharedToolTest, NoIndexSaysTheIndexIsLeftBehind) {
  auto r = RunCommand(Tessera("set " + Quoted("Pyx.DBF") + " 12 CALL_=ZZ0LEFT --no-index 2>&1"));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("PYX.CDX is not kept current (--no-index)"), std::string::npos) << r.out;
  r = Check();
  EXPECT_EQ(r.status, 1) << r.out;
  r = RunCommand(Tessera("reindex " + Quoted("Pyx.DBF") + " " + Quoted("PYX.CDX") + " 2>&1"));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "11 tags rebuilt\n");
  r = Check();
  EXPECT_EQ(r.status, 0) << r.out;
  r = RunCommand(Tessera("set " + Quoted("Pyx.DBF") + " 12 CALL_=X --no-index --index " + Quoted("PYX.CDX") + " 2>&1"));
  EXPECT_EQ(r.status, 2) << r.out;
}

TEST_F(SharedToolTest, SharedReindexRefusedWhileAnotherProgramWrites) {
  tessera::KTO_dBHandler writer(table_, true, true);
  ASSERT_EQ(writer.OpenIndexFile("PYX.CDX"), 0);
  ASSERT_TRUE(writer.LockIndexFiles());
  auto r = RunCommand(Tessera("reindex " + Quoted("Pyx.DBF") + " " + Quoted("PYX.CDX") + " --wait 100 2>&1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, dir_ / "PYX.CDX" + " is in use by another program\n");
  writer.UnlockIndexFiles();
  // Open but idle, the writer does not keep the rebuild out, and writes
  // into the rebuilt file afterwards.
  r = RunCommand(Tessera("reindex " + Quoted("Pyx.DBF") + " " + Quoted("PYX.CDX") + " 2>&1"));
  EXPECT_EQ(r.status, 0) << r.out;
  writer.BlankRecord();
  writer.PutText("CALL_", "ZZ0AFTER");
  writer.AppendRecord();
  r = Check();
  EXPECT_EQ(r.status, 0) << r.out;
}

}  // namespace
