// A record write that fails half-way changes nothing: a failing disk is
// made to fail at every write call an append, an edit and a deletion make
// (once, as a full disk, and for good), on the callbook with its eleven
// tags and on a table with a memo field and a compound index. Afterwards
// the table holds exactly the records it held before and every tag checks
// clean, or, when even the undo could not write, the index file says it
// needs a rebuild.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cdx_test_util.h"
#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "platform/write_faults.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

using tessera::KTO_dBHandler;
using testing_support::FileBytes;
using testing_support::TempDir;

struct Case {
  std::string name;
  std::string table;  // file names inside the master folder
  std::string index;
  std::vector<std::string> files;
  std::function<void(KTO_dBHandler&)> op;
};

// The records of a table as raw bytes (deletion flag included).
std::vector<std::string> Records(const std::string& path) {
  KTO_dBHandler t(path, true, false);
  std::vector<std::string> out;
  for (int32_t r = 1; r <= t.RecordCount(); ++r) {
    t.GotoRecord(r);
    out.emplace_back(t.RecordBuffer(), static_cast<size_t>(t.RecordLength()));
  }
  return out;
}

std::vector<std::string> Faults(const std::string& table, const std::string& index, bool* needs_rebuild) {
  KTO_dBHandler t(table, true, false);
  tessera::KTobjCDXFile f(&t, index, false, false, true, false);
  *needs_rebuild = f.NeedsRebuild();
  if (!f.Opened()) return {"index does not open"};
  return tessera::CheckCdxFile(f);
}

class WriteFailureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tessera::EngineScope engine;
    master_ = std::make_unique<TempDir>();
    pyx_sample::WriteSampleTable(master_->path(), 400, 9, true);
    {
      KTO_dBHandler t(master_->path() + "/Pyx.DBF", false, true);
      for (const auto& tag : pyx_sample::kCallbookTags)
        t.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
    }
    tessera::CreateTable(master_->path() + "/NOTES.DBF", 0x83,
                         {{"CALL_", 'C', 10, 0}, {"NOTE", 'M', 0, 0}, {"N", 'N', 6, 0}});
    KTO_dBHandler t(master_->path() + "/NOTES.DBF", false, true);
    for (int i = 0; i < 120; ++i) {
      t.BlankRecord();
      t.PutTextN(1, "R" + std::to_string(i * 7 % 113));
      const std::string memo(static_cast<size_t>(40 + i * 13), static_cast<char>('a' + i % 26));
      int32_t size = static_cast<int32_t>(memo.size());
      t.MemoWrite(2, memo.data(), &size);
      t.PutTextN(3, std::to_string(i));
      t.AppendRecord();
    }
    t.CreateIndexTag("NOTES.CDX", "CALL", "CALL_", "", tessera::kDuplicateKeys, 0);
    t.CreateIndexTag("NOTES.CDX", "N", "N", "", tessera::kDuplicateKeys, 0);
    t.CreateIndexTag("NOTES.CDX", "ODD", "UPPER(CALL_)", "MOD(N, 2) = 1", tessera::kDuplicateKeys, 0);
  }
  static void TearDownTestSuite() { master_.reset(); }

  // An append before the case, in the same session: under exclusive use
  // its index blocks are still held (and the mark on) when the case runs.
  static std::string WarmUp(KTO_dBHandler& t) {
    t.BlankRecord();
    t.PutTextN(1, "QQ5WRM");
    t.PutTextN(2, "WARM");
    t.AppendRecord();
    return std::string(t.RecordBuffer(), static_cast<size_t>(t.RecordLength()));
  }

  // Runs the case once to count its write calls, then once per call and
  // fault kind with the disk failing there. `exclusive`: the table is open
  // for exclusive use and an append went before the case.
  void RunEveryFault(const Case& c, bool exclusive = false) {
    int64_t calls = 0;
    {
      TempDir dir;
      Copy(c, dir);
      KTO_dBHandler t(dir / c.table, !exclusive, true);
      ASSERT_EQ(t.OpenIndexFile(c.index), 0);
      if (exclusive) WarmUp(t);
      plat::ResetWriteCount();
      c.op(t);
      calls = plat::WriteCallCount();
    }
    // Under exclusive use the index blocks wait for the close: the table's
    // own writes are what can fail.
    ASSERT_GT(calls, exclusive ? 1 : 2) << c.name;
    for (plat::WriteFault kind : {plat::WriteFault::kOnce, plat::WriteFault::kDiskFull, plat::WriteFault::kBroken}) {
      for (int64_t at = 0; at < calls; ++at) {
        SCOPED_TRACE(c.name + " kind " + std::to_string(static_cast<int>(kind)) + " call " + std::to_string(at));
        TempDir dir;
        Copy(c, dir);
        auto before = Records(dir / c.table);
        const std::string dbf_before = FileBytes(dir / c.table);
        bool failed = false;
        {
          KTO_dBHandler t(dir / c.table, !exclusive, true);
          ASSERT_EQ(t.OpenIndexFile(c.index), 0);
          if (exclusive) before.push_back(WarmUp(t));
          plat::ArmWriteFault(kind, at, 29);
          try {
            c.op(t);
          } catch (const tessera::ETesseraError&) {
            failed = true;
          }
          plat::DisarmWriteFault();
        }
        bool needs_rebuild = false;
        const auto faults = Faults(dir / c.table, dir / c.index, &needs_rebuild);
        // Every write call is part of the operation: failing any one of
        // them fails it.
        if (kind != plat::WriteFault::kDiskFull) {
          EXPECT_TRUE(failed);
        }
        if (!failed) {
          // A full disk only refuses writes that grow a file; an edit may
          // get through whole.
          EXPECT_EQ(kind, plat::WriteFault::kDiskFull);
          EXPECT_TRUE(faults.empty()) << faults.front();
          continue;
        }
        if (kind == plat::WriteFault::kBroken && needs_rebuild) continue;  // the undo could not write either
        EXPECT_FALSE(needs_rebuild);
        EXPECT_TRUE(faults.empty()) << faults.front();
        EXPECT_EQ(Records(dir / c.table), before);
        if (kind != plat::WriteFault::kBroken && !exclusive) {
          EXPECT_EQ(FileBytes(dir / c.table), dbf_before);
        }
      }
    }
  }

  static void Copy(const Case& c, const TempDir& dir) {
    for (const auto& f : c.files) std::filesystem::copy_file(master_->path() + "/" + f, dir / f);
  }

  static std::unique_ptr<TempDir> master_;
};

std::unique_ptr<TempDir> WriteFailureTest::master_;

const std::vector<std::string> kCallbook = {"Pyx.DBF", "PYX.CDX"};
const std::vector<std::string> kNotes = {"NOTES.DBF", "NOTES.DBT", "NOTES.CDX"};

TEST_F(WriteFailureTest, CallbookAppendEditAndDelete) {
  RunEveryFault({"append", "Pyx.DBF", "PYX.CDX", kCallbook, [](KTO_dBHandler& t) {
                   t.BlankRecord();
                   t.PutTextN(1, "QQ0AAA");
                   t.PutTextN(2, "ZZZ");
                   t.PutTextN(6, "AAA");
                   t.AppendRecord();
                 }});
  RunEveryFault({"edit", "Pyx.DBF", "PYX.CDX", kCallbook, [](KTO_dBHandler& t) {
                   t.GotoRecord(17);
                   t.PutTextN(1, "QQ9ZZZ");
                   t.PutTextN(3, "AAAA");
                   t.PutTextN(12, "a@b.example");
                   t.WriteRecord(17);
                 }});
  RunEveryFault({"delete", "Pyx.DBF", "PYX.CDX", kCallbook, [](KTO_dBHandler& t) {
                   t.GotoRecord(5);
                   t.MarkDeleted();
                 }});
}

// Under exclusive use the index blocks of earlier writes are held in
// memory with the mark on: a failing write puts them back there, and the
// close writes them out.
TEST_F(WriteFailureTest, ExclusiveCallbookAppendAndEditAfterAnAppend) {
  RunEveryFault({"exclusive append", "Pyx.DBF", "PYX.CDX", kCallbook,
                 [](KTO_dBHandler& t) {
                   t.BlankRecord();
                   t.PutTextN(1, "QQ0AAA");
                   t.PutTextN(2, "ZZZ");
                   t.PutTextN(6, "AAA");
                   t.AppendRecord();
                 }},
                true);
  RunEveryFault({"exclusive edit", "Pyx.DBF", "PYX.CDX", kCallbook,
                 [](KTO_dBHandler& t) {
                   t.GotoRecord(17);
                   t.PutTextN(1, "QQ9ZZZ");
                   t.PutTextN(3, "AAAA");
                   t.WriteRecord(17);
                 }},
                true);
}

TEST_F(WriteFailureTest, MemoTableAppendAndEdit) {
  RunEveryFault({"memo append", "NOTES.DBF", "NOTES.CDX", kNotes, [](KTO_dBHandler& t) {
                   t.BlankRecord();
                   t.PutTextN(1, "A1");
                   const std::string memo(700, 'm');
                   int32_t size = static_cast<int32_t>(memo.size());
                   t.MemoWrite(2, memo.data(), &size);
                   t.PutTextN(3, "7");
                   t.AppendRecord();
                 }});
  RunEveryFault({"memo edit", "NOTES.DBF", "NOTES.CDX", kNotes, [](KTO_dBHandler& t) {
                   t.GotoRecord(30);
                   t.PutTextN(1, "B2");
                   const std::string memo(1300, 'n');
                   int32_t size = static_cast<int32_t>(memo.size());
                   t.MemoWrite(2, memo.data(), &size);
                   t.PutTextN(3, "31");
                   t.WriteRecord(30);
                 }});
}

// An append right after this open's own append knows the end of the file
// it left (the end mark) without reading it: when the second append fails
// at any of its write calls, the table is put back byte for byte as the
// first append left it, and a third append then goes through.
TEST_F(WriteFailureTest, FailedAppendAfterAnAppendPutsBackTheEndItLeft) {
  const auto append = [](KTO_dBHandler& t, const char* call) {
    t.BlankRecord();
    t.PutTextN(1, call);
    t.PutTextN(2, "SECOND");
    t.AppendRecord();
  };
  for (const bool shared : {true, false}) {
    int64_t calls = 0;
    {
      TempDir dir;
      Copy({"", "", "", kCallbook, nullptr}, dir);
      KTO_dBHandler t(dir / "Pyx.DBF", shared, true);
      ASSERT_EQ(t.OpenIndexFile("PYX.CDX"), 0);
      WarmUp(t);
      plat::ResetWriteCount();
      append(t, "QQ7SEC");
      calls = plat::WriteCallCount();
    }
    ASSERT_GT(calls, 1);
    for (int64_t at = 0; at < calls; ++at) {
      SCOPED_TRACE(std::string(shared ? "shared" : "exclusive") + " call " + std::to_string(at));
      TempDir dir;
      Copy({"", "", "", kCallbook, nullptr}, dir);
      KTO_dBHandler t(dir / "Pyx.DBF", shared, true);
      ASSERT_EQ(t.OpenIndexFile("PYX.CDX"), 0);
      WarmUp(t);
      const std::string after_first = FileBytes(dir / "Pyx.DBF");
      const int32_t count = t.RecordCount();
      plat::ArmWriteFault(plat::WriteFault::kOnce, at, 29);
      bool failed = false;
      try {
        append(t, "QQ7SEC");
      } catch (const tessera::ETesseraError&) {
        failed = true;
      }
      plat::DisarmWriteFault();
      if (!failed) continue;  // a held index block's write, made later
      EXPECT_EQ(FileBytes(dir / "Pyx.DBF"), after_first);
      ASSERT_EQ(t.RecordCount(), count);
      append(t, "QQ8THR");
      EXPECT_EQ(t.RecordCount(), count + 1);
      const std::string bytes = FileBytes(dir / "Pyx.DBF");
      EXPECT_EQ(bytes.size(), after_first.size() + static_cast<size_t>(t.RecordLength()));
      EXPECT_EQ(bytes.back(), '\x1A');
    }
  }
}

// A damaged tag refuses the write before the record reaches the disk.
TEST_F(WriteFailureTest, DamagedTagRefusesTheAppend) {
  TempDir dir;
  for (const auto& f : kCallbook) std::filesystem::copy_file(master_->path() + "/" + f, dir / f);
  std::string cdx = FileBytes(dir / "PYX.CDX");
  int32_t root = 0;
  {
    KTO_dBHandler t(dir / "Pyx.DBF", true, false);
    tessera::KTobjCDXFile f(&t, dir / "PYX.CDX", false, false, true, false);
    root = f.FindTag("CALL")->ReadRootOffset();
  }
  // Garbage over the key count of the CALL tag's root.
  cdx[static_cast<size_t>(root) + 2] = '\xFF';
  cdx[static_cast<size_t>(root) + 3] = '\x7F';
  testing_support::PutFileBytes(dir / "PYX.CDX", cdx);
  const std::string dbf = FileBytes(dir / "Pyx.DBF");
  {
    KTO_dBHandler t(dir / "Pyx.DBF", true, true);
    ASSERT_EQ(t.OpenIndexFile("PYX.CDX"), 0);
    t.BlankRecord();
    t.PutTextN(1, "QQ0");
    EXPECT_THROW(t.AppendRecord(), tessera::ETesseraError);
    t.GotoRecord(3);
    t.PutTextN(1, "QQ1");
    EXPECT_THROW(t.WriteRecord(3), tessera::ETesseraError);
  }
  EXPECT_EQ(FileBytes(dir / "Pyx.DBF"), dbf);
  EXPECT_EQ(FileBytes(dir / "PYX.CDX"), cdx);
}

}  // namespace
