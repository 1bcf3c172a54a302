// MDX and NDX files open for exclusive use hold their changed blocks in
// memory until the table is flushed or closed, with the write-in-progress
// mark in bytes 504..511 of the header meanwhile. The files written that
// way are byte for byte those written block by block; a writer stopped
// with blocks held leaves a file that asks for a rebuild, which repairs
// it; a disk that fills up at the flush raises and leaves the file marked.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cdx_test_util.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/index_file.h"
#include "platform/write_faults.h"
#include "shared_index_util.h"
#include "support/temp_dir.h"

namespace {

using shared_index::Kind;
using testing_support::FileBytes;
using testing_support::TempDir;

// The index files of a kind: the eleven tags in one multiple index, or
// three of them in single-tag files.
struct Layout {
  Kind kind;
  std::vector<std::string> files;
};

const Layout kMdx{Kind::kMdx, {"PYX.MDX"}};
const Layout kNdx{Kind::kNdx, {"CALL.NDX", "FIO.NDX", "GOR.NDX"}};

void MakeCallbook(const std::string& dir, const Layout& layout, int cards) {
  pyx_sample::WriteSampleTable(dir, cards, 17, true);
  tessera::KTO_dBHandler t(dir + "/Pyx.DBF", false, true);
  for (const auto& tag : pyx_sample::kCallbookTags) {
    if (layout.kind == Kind::kMdx) {
      t.CreateIndexTag("PYX.MDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
    } else {
      const std::string file = std::string(tag.name) + ".NDX";
      for (const auto& f : layout.files)
        if (f == file) t.CreateIndexTag(file, "", tag.expression, "", tessera::kDuplicateKeys, 0);
    }
  }
}

void OpenIndexes(tessera::KTO_dBHandler& t, const Layout& layout) {
  for (const auto& f : layout.files) ASSERT_EQ(t.OpenIndexFile(f), 0) << f;
  t.SelectMasterTag("CALL", false);
}

std::string Call(int i) { return "QH" + std::to_string(i) + "ZZ"; }

// Appends cards QH<i>ZZ for i in [from, to), and for every seventh of
// them edits one of the first 700 cards to a new callsign and surname.
void Work(tessera::KTO_dBHandler& t, int from, int to) {
  for (int i = from; i < to; ++i) shared_index::AppendCard(t, Call(i), i);
  std::mt19937 rng(static_cast<uint32_t>(from));
  for (int i = from; i < to; i += 7) {
    const int32_t r = static_cast<int32_t>(1 + rng() % 700);
    t.GotoRecord(r);
    t.PutText("CALL_", "QE" + std::to_string(i));
    t.PutText("FAM_", "ZED" + std::to_string(i));
    t.WriteRecord(r);
  }
}

std::string MarkBytes(const std::string& path) { return FileBytes(path).substr(504, 8); }

std::vector<std::string> Faults(const std::string& dir, const Layout& layout) {
  tessera::KTO_dBHandler table(dir + "/Pyx.DBF", true, false);
  std::vector<std::string> faults;
  for (const auto& f : layout.files) {
    auto file = tessera::MakeIndexFile(&table, dir + "/" + f, false, true, false);
    if (!file->Opened()) {
      faults.push_back(f + " does not open");
      continue;
    }
    if (file->NeedsRebuild()) faults.push_back(f + " needs a rebuild");
    std::vector<std::string> found =
        layout.kind == Kind::kMdx ? tessera::CheckMdxFile(*static_cast<tessera::KTobjMDXFile*>(file.get()))
                                  : tessera::CheckNdxFile(*static_cast<tessera::KTobjNDXFile*>(file.get()));
    for (auto& x : found) faults.push_back(f + ": " + x);
  }
  return faults;
}

bool MarkedForRebuild(const std::string& dir, const std::string& file) {
  tessera::KTO_dBHandler table(dir + "/Pyx.DBF", true, false);
  auto f = tessera::MakeIndexFile(&table, dir + "/" + file, false, true, false);
  return f->Opened() && f->NeedsRebuild();
}

class HeldBlocksTest : public ::testing::TestWithParam<Layout> {
 protected:
  void TearDown() override {
    tessera::SetHeldIndexWrites(true);
    tessera::SetHeldIndexBlocks(8192);
    plat::DisarmWriteFault();
  }
  tessera::EngineScope engine_;
};

TEST_P(HeldBlocksTest, SameBytesAsWritingEachBlockAtOnceAndReadBackAfterTheFlush) {
  const Layout& layout = GetParam();
  TempDir held, direct;
  MakeCallbook(held.path(), layout, 1500);
  for (const auto& f : std::filesystem::directory_iterator(held.path()))
    std::filesystem::copy_file(f.path(), direct / f.path().filename().string());
  const std::string zeros(8, '\0');
  {
    tessera::SetHeldIndexWrites(false);
    tessera::KTO_dBHandler t(direct / "Pyx.DBF", false, true);
    OpenIndexes(t, layout);
    Work(t, 0, 300);
    // Written at once: no mark, ever.
    for (const auto& f : layout.files) EXPECT_EQ(MarkBytes(direct / f), zeros) << f;
    t.Flush();
    Work(t, 300, 420);
  }
  tessera::SetHeldIndexWrites(true);
  {
    tessera::KTO_dBHandler t(held / "Pyx.DBF", false, true);
    OpenIndexes(t, layout);
    Work(t, 0, 300);
    // The changes are held, and the file on disk says so; this table
    // reads them through what it holds.
    for (const auto& f : layout.files) EXPECT_EQ(MarkBytes(held / f), "TSRWRITE") << f;
    EXPECT_TRUE(shared_index::Finds(t, Call(299), 1500 + 300));
    t.Flush();
    for (const auto& f : layout.files) EXPECT_EQ(MarkBytes(held / f), zeros) << f;
    Work(t, 300, 420);
  }
  for (const auto& f : layout.files) EXPECT_TRUE(FileBytes(held / f) == FileBytes(direct / f)) << f;
  for (const auto& fault : Faults(held.path(), layout)) ADD_FAILURE() << fault;
  // A second open finds every card appended.
  tessera::KTO_dBHandler t(held / "Pyx.DBF", true, false);
  OpenIndexes(t, layout);
  for (int i = 0; i < 420; i += 13) EXPECT_TRUE(shared_index::Finds(t, Call(i), 1500 + i + 1)) << Call(i);
}

// A run of appends holds more blocks than a writer keeps between record
// writes (made small here): they go out many times on the way, and the
// memory they took is used again for the next blocks, a partly written
// block filled from the file rather than from the block that was there.
// The files are still those written block by block, and the mark stays
// on until the changes are finished.
TEST_P(HeldBlocksTest, RunLongerThanTheHeldBlocksGoesOutOnTheWayWithTheSameBytes) {
  const Layout& layout = GetParam();
  TempDir held, direct;
  MakeCallbook(held.path(), layout, 700);
  for (const auto& f : std::filesystem::directory_iterator(held.path()))
    std::filesystem::copy_file(f.path(), direct / f.path().filename().string());
  {
    tessera::SetHeldIndexWrites(false);
    tessera::KTO_dBHandler t(direct / "Pyx.DBF", false, true);
    OpenIndexes(t, layout);
    Work(t, 0, 600);
  }
  tessera::SetHeldIndexWrites(true);
  tessera::SetHeldIndexBlocks(40);
  {
    tessera::KTO_dBHandler t(held / "Pyx.DBF", false, true);
    OpenIndexes(t, layout);
    Work(t, 0, 600);
    for (const auto& f : layout.files) EXPECT_EQ(MarkBytes(held / f), "TSRWRITE") << f;
    for (int i = 0; i < 600; i += 37) EXPECT_TRUE(shared_index::Finds(t, Call(i), 700 + i + 1)) << Call(i);
  }
  for (const auto& f : layout.files) EXPECT_TRUE(FileBytes(held / f) == FileBytes(direct / f)) << f;
  for (const auto& fault : Faults(held.path(), layout)) ADD_FAILURE() << fault;
}

TEST_P(HeldBlocksTest, WriterStoppedWithBlocksHeldLeavesAFileThatAsksForARebuild) {
  const Layout& layout = GetParam();
  TempDir dir, stopped;
  MakeCallbook(dir.path(), layout, 800);
  {
    tessera::KTO_dBHandler t(dir / "Pyx.DBF", false, true);
    OpenIndexes(t, layout);
    Work(t, 0, 200);
    // The files as a writer killed now leaves them.
    for (const auto& f : std::filesystem::directory_iterator(dir.path()))
      std::filesystem::copy_file(f.path(), stopped / f.path().filename().string());
  }
  for (const auto& f : layout.files) EXPECT_TRUE(MarkedForRebuild(stopped.path(), f)) << f;
  {
    tessera::KTO_dBHandler t(stopped / "Pyx.DBF", false, true);
    EXPECT_THROW(t.OpenIndexFile(layout.files[0]), tessera::ETesseraError);
    for (const auto& f : layout.files) tessera::ReindexIndexFile(t, f);
  }
  for (const auto& fault : Faults(stopped.path(), layout)) ADD_FAILURE() << fault;
  for (const auto& f : layout.files) EXPECT_EQ(MarkBytes(stopped / f), std::string(8, '\0')) << f;
  for (const auto& fault : Faults(dir.path(), layout)) ADD_FAILURE() << fault;
}

TEST_P(HeldBlocksTest, FullDiskAtTheFlushRaisesAndLeavesTheFileMarked) {
  const Layout& layout = GetParam();
  TempDir dir, at_failure;
  MakeCallbook(dir.path(), layout, 800);
  {
    tessera::KTO_dBHandler t(dir / "Pyx.DBF", false, true);
    OpenIndexes(t, layout);
    Work(t, 0, 250);
    plat::ArmWriteFault(plat::WriteFault::kDiskFull, 0, 112);
    std::string message;
    try {
      t.Flush();
    } catch (const tessera::ETesseraError& e) {
      message = e.what();
    }
    plat::DisarmWriteFault();
    // The error names the index file it could not write.
    EXPECT_NE(message.find(layout.kind == Kind::kMdx ? ".MDX" : ".NDX"), std::string::npos) << message;
    for (const auto& f : std::filesystem::directory_iterator(dir.path()))
      std::filesystem::copy_file(f.path(), at_failure / f.path().filename().string());
    // With room again, the close writes what is held.
  }
  // The file the failed flush left is refused until rebuilt, not read as
  // if complete.
  EXPECT_TRUE(MarkedForRebuild(at_failure.path(), layout.files[0]));
  for (const auto& fault : Faults(dir.path(), layout)) ADD_FAILURE() << fault;
  tessera::KTO_dBHandler t(dir / "Pyx.DBF", true, false);
  OpenIndexes(t, layout);
  for (int i = 0; i < 250; i += 11) EXPECT_TRUE(shared_index::Finds(t, Call(i), 800 + i + 1)) << Call(i);
}

// Under shared use a multiple index holds the blocks of one record write
// only until its keys are all in: they are in the file before the lock is
// let go (another open finds each card at once), with no mark on disk,
// and the file is byte for byte the one written block by block. Appends
// to a small callbook split leaves in every tag, so the new nodes at the
// end of the file go out held.
class HeldBlocksSharedTest : public ::testing::Test {
 protected:
  void TearDown() override { tessera::SetHeldIndexWrites(true); }
  tessera::EngineScope engine_;
};

TEST_F(HeldBlocksSharedTest, MultipleIndexWritesGoOutBeforeTheLockIsLetGoWithTheSameBytes) {
  TempDir held, direct;
  MakeCallbook(held.path(), kMdx, 600);
  for (const auto& f : std::filesystem::directory_iterator(held.path()))
    std::filesystem::copy_file(f.path(), direct / f.path().filename().string());
  constexpr int kCards = 300;
  {
    tessera::SetHeldIndexWrites(false);
    tessera::KTO_dBHandler t(direct / "Pyx.DBF", true, true);
    OpenIndexes(t, kMdx);
    for (int i = 0; i < kCards; ++i) shared_index::AppendCard(t, Call(i), i);
  }
  tessera::SetHeldIndexWrites(true);
  {
    tessera::KTO_dBHandler t(held / "Pyx.DBF", true, true);
    OpenIndexes(t, kMdx);
    tessera::KTO_dBHandler reader(held / "Pyx.DBF", true, false);
    OpenIndexes(reader, kMdx);
    for (int i = 0; i < kCards; ++i) {
      const int32_t record = shared_index::AppendCard(t, Call(i), i);
      if (i % 25 != 0) continue;
      EXPECT_EQ(MarkBytes(held / "PYX.MDX"), std::string(8, '\0')) << i;
      EXPECT_TRUE(shared_index::Finds(reader, Call(i), record)) << Call(i);
    }
  }
  EXPECT_TRUE(FileBytes(held / "PYX.MDX") == FileBytes(direct / "PYX.MDX"));
  for (const auto& fault : Faults(held.path(), kMdx)) ADD_FAILURE() << fault;
}

INSTANTIATE_TEST_SUITE_P(Kinds, HeldBlocksTest, ::testing::Values(kMdx, kNdx),
                         [](const ::testing::TestParamInfo<Layout>& info) {
                           return std::string(shared_index::KindName(info.param.kind));
                         });

}  // namespace
