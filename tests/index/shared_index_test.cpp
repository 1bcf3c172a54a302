// Two opens of one callbook and its index, as two programs have them: each
// must see what the other wrote at its next search, write its own keys into
// the tree as it is now, and survive the other rebuilding the index. Every
// index kind, every case; the opens live in this process (their locks are
// per open, as between processes) so that the order of events is the
// test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/index_repair.h"
#include "platform/path.h"
#include "shared_index_util.h"
#include "support/temp_dir.h"

namespace {

using shared_index::Kind;
using tessera::KTO_dBHandler;
using testing_support::TempDir;

constexpr int kCards = 300;

class SharedIndexTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    shared_index::MakeCallbook(dir_.path(), GetParam(), kCards);
    dbf_ = dir_ / "Pyx.DBF";
  }

  // An open of the callbook as a program keeps it: shared, writable, the
  // index open and its callsign tag the order.
  std::unique_ptr<KTO_dBHandler> OpenCallbook() {
    auto t = std::make_unique<KTO_dBHandler>(dbf_, true, true);
    EXPECT_EQ(t->OpenIndexFile(shared_index::IndexName(GetParam())), 0);
    t->SelectMasterTag("CALL", false);
    return t;
  }

  void ExpectSound() {
    for (const auto& f : shared_index::CheckIndex(dbf_, GetParam())) ADD_FAILURE() << f;
  }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::string dbf_;
};

// B appends while A, open since before and with the tree read, waits; A
// then finds B's cards and appends its own beside them.
TEST_P(SharedIndexTest, SharedWritersSeeEachOthersKeys) {
  auto a = OpenCallbook();
  auto b = OpenCallbook();
  // A reads the tree first (its blocks are in its memory now).
  a->GotoRecord(tessera::kMoveFirst);
  a->Skip(50);
  ASSERT_FALSE(shared_index::Finds(*a, "ZZ1B0", 1));
  std::vector<int32_t> b_records;
  for (int i = 0; i < 5; ++i) b_records.push_back(shared_index::AppendCard(*b, "ZZ1B" + std::to_string(i)));
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(shared_index::Finds(*a, "ZZ1B" + std::to_string(i), b_records[static_cast<size_t>(i)])) << i;
  std::vector<int32_t> a_records;
  for (int i = 0; i < 5; ++i) a_records.push_back(shared_index::AppendCard(*a, "ZZ1A" + std::to_string(i)));
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(shared_index::Finds(*b, "ZZ1A" + std::to_string(i), a_records[static_cast<size_t>(i)])) << i;
    EXPECT_TRUE(shared_index::Finds(*a, "ZZ1B" + std::to_string(i), b_records[static_cast<size_t>(i)])) << i;
  }
  // A walk from the top in A's order meets every record once.
  int32_t seen = 0;
  for (a->GotoRecord(tessera::kMoveFirst); !a->Eof(); a->Skip(1)) ++seen;
  EXPECT_EQ(seen, kCards + 10);
  a.reset();
  b.reset();
  ExpectSound();
}

// Two programs append by turns, one taking the append lock itself around
// each card as a program that also locks the new record does, the other
// leaving it to the append: each append lands after the other's last card
// (none is overwritten, the count and the file's length agree), and each
// finds the other's cards at once.
TEST_P(SharedIndexTest, SharedAppendsByTurnsSeeEachOthersRecords) {
  auto a = OpenCallbook();
  auto b = OpenCallbook();
  a->GotoRecord(tessera::kMoveFirst);
  b->GotoRecord(tessera::kMoveFirst);
  std::vector<std::string> calls;
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE(i);
    const bool by_a = i % 2 == 0;
    KTO_dBHandler& writer = by_a ? *a : *b;
    KTO_dBHandler& other = by_a ? *b : *a;
    const std::string call = (by_a ? "ZZ7A" : "ZZ7B") + std::to_string(i);
    if (by_a) {
      ASSERT_TRUE(writer.LockAppend());
    }
    const int32_t record = shared_index::AppendCard(writer, call, i + 1);
    if (by_a) writer.UnlockTable();
    calls.push_back(call);
    EXPECT_EQ(record, kCards + i + 1);
    EXPECT_EQ(writer.RecordCount(), kCards + i + 1);
    EXPECT_TRUE(shared_index::Finds(other, call, record));
    if (i > 0) {
      EXPECT_TRUE(shared_index::Finds(writer, calls[static_cast<size_t>(i - 1)], record - 1));
    }
  }
  a.reset();
  b.reset();
  // Every card where it was appended, the end mark after the last.
  KTO_dBHandler t(dbf_, true, false);
  ASSERT_EQ(t.RecordCount(), kCards + 24);
  for (int i = 0; i < 24; ++i) {
    t.GotoRecord(kCards + i + 1);
    EXPECT_EQ(tessera::TrimText(t.GetText("CALL_")), calls[static_cast<size_t>(i)]);
  }
  EXPECT_EQ(std::filesystem::file_size(dbf_), static_cast<uintmax_t>(t.HeaderLength()) +
                                                  static_cast<uintmax_t>(kCards + 24) * t.RecordLength() + 1);
  ExpectSound();
}

// What a writer changes inside the file (nodes rewritten in place, the
// count, the mark) is in the file for every other program the moment its
// lock is let go, before any flush or close: after each write, with the
// writer still open, the index read afresh from the file is sound and an
// open that has read the tree before finds the new card. A card changed
// in place, and cards that split leaves and make the file longer, alike.
TEST_P(SharedIndexTest, SharedWriteIsInTheFileWhenItsLockIsLetGo) {
  auto a = OpenCallbook();
  auto b = OpenCallbook();
  b->GotoRecord(tessera::kMoveFirst);
  b->Skip(30);
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE(i);
    const std::string call = "ZZ5A" + std::to_string(i);
    int32_t record = 0;
    if (i % 4 == 3) {
      // The callsign of a card A appended before, changed in place.
      record = kCards + 1 + i - 3;
      a->GotoRecord(record);
      a->PutText("CALL_", call);
      a->WriteRecord(record);
    } else {
      record = shared_index::AppendCard(*a, call, i + 1);
    }
    const auto faults = shared_index::CheckIndex(dbf_, GetParam());
    for (const auto& f : faults) ADD_FAILURE() << f;
    if (!faults.empty()) break;
    EXPECT_TRUE(shared_index::Finds(*b, call, record));
  }
  a.reset();
  b.reset();
  ExpectSound();
}

// A reader that only searches sees a writer's keys at its next search (its
// tree and blocks were read before the writes).
TEST_P(SharedIndexTest, SharedReaderSeesNewKeysAtItsNextSearch) {
  auto reader = std::make_unique<KTO_dBHandler>(dbf_, true, false);
  ASSERT_EQ(reader->OpenIndexFile(shared_index::IndexName(GetParam())), 0);
  reader->SelectMasterTag("CALL", false);
  auto writer = OpenCallbook();
  for (int round = 0; round < 3; ++round) {
    const std::string call = "ZZ2R" + std::to_string(round);
    EXPECT_FALSE(shared_index::Finds(*reader, call, 0));
    const int32_t r = shared_index::AppendCard(*writer, call);
    EXPECT_TRUE(shared_index::Finds(*reader, call, r)) << round;
    // A change of an existing card's key too.
    writer->GotoRecord(round + 1);
    ASSERT_TRUE(writer->LockRecord());
    writer->GotoRecord(round + 1);
    writer->PutText("CALL_", "ZZ2C" + std::to_string(round));
    writer->WriteRecord(round + 1);
    writer->UnlockTable();
    EXPECT_TRUE(shared_index::Finds(*reader, "ZZ2C" + std::to_string(round), round + 1)) << round;
  }
  reader.reset();
  writer.reset();
  ExpectSound();
}

// A move after another program's write stays where it was, also when the
// record buffer is a caller's at that moment (the dataset reads rows into
// its own buffers): the tree is read again at the entry the tag stood on.
TEST_P(SharedIndexTest, SharedMoveAfterAnotherWriteStaysOnTheRecord) {
  auto a = OpenCallbook();
  auto b = OpenCallbook();
  a->GotoRecord(tessera::kMoveFirst);
  a->Skip(40);
  const int32_t here = a->CurrentRecord();
  const std::string call = a->GetText("CALL_");
  shared_index::AppendCard(*b, "ZZ5B0");
  std::string row(static_cast<size_t>(a->RecordLength()), ' ');
  a->SetRecordBuffer(row.data());
  a->GotoRecord(tessera::kMoveCurrent);
  a->SetRecordBuffer(nullptr);
  EXPECT_EQ(a->CurrentRecord(), here);
  EXPECT_EQ(row.substr(1, call.size()), call);
  // And the next move goes on from there in tag order.
  shared_index::AppendCard(*b, "ZZ5B1");
  a->Skip(1);
  EXPECT_NE(a->CurrentRecord(), here);
  a->Skip(-1);
  EXPECT_EQ(a->CurrentRecord(), here);
}

// Two writers take turns for long enough that each turn grows the file
// (leaves and the nodes above them split): a writer goes on from the size
// it finds under its own lock, never from one it knew before, so that its
// new nodes never land on the other's. Then each finds every card.
TEST_P(SharedIndexTest, TakingTurnsWhileTheFileGrows) {
  auto a = OpenCallbook();
  auto b = OpenCallbook();
  std::vector<std::pair<std::string, int32_t>> cards;
  for (int i = 0; i < 60; ++i) {
    KTO_dBHandler& writer = i % 2 == 0 ? *a : *b;
    // Calls in rising order pile into the last leaf, which splits often.
    const std::string call = "ZZ7" + std::string(i % 2 == 0 ? "A" : "B") + std::to_string(100 + i);
    cards.emplace_back(call, shared_index::AppendCard(writer, call));
  }
  for (const auto& [call, record] : cards) {
    EXPECT_TRUE(shared_index::Finds(*a, call, record)) << call;
    EXPECT_TRUE(shared_index::Finds(*b, call, record)) << call;
  }
  a.reset();
  b.reset();
  ExpectSound();
}

ino_t Inode(const std::string& path) {
  struct stat st {};
  ::stat(plat::ResolveCase(path).c_str(), &st);
  return st.st_ino;
}

// The index is rebuilt by another open while A has it open: in place, so
// that A's later writes land in the file everyone uses, and A notices the
// new tree before it writes.
TEST_P(SharedIndexTest, SharedRebuildByAnotherOpenKeepsTheFileOthersHold) {
  auto a = OpenCallbook();
  a->GotoRecord(tessera::kMoveFirst);
  a->Skip(20);
  shared_index::AppendCard(*a, "ZZ3A0");
  const std::string index = dir_ / shared_index::IndexName(GetParam());
  const ino_t before = Inode(index);
  {
    KTO_dBHandler b(dbf_, true, false);
    EXPECT_NO_THROW(tessera::ReindexIndexFile(b, index));
  }
  EXPECT_EQ(Inode(index), before);
  std::vector<int32_t> records;
  for (int i = 0; i < 5; ++i) records.push_back(shared_index::AppendCard(*a, "ZZ3B" + std::to_string(i)));
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(shared_index::Finds(*a, "ZZ3B" + std::to_string(i), records[static_cast<size_t>(i)])) << i;
  a.reset();
  ExpectSound();
  auto c = OpenCallbook();
  EXPECT_TRUE(shared_index::Finds(*c, "ZZ3A0", kCards + 1));
  EXPECT_TRUE(shared_index::Finds(*c, "ZZ3B4", kCards + 6));
}

// A rebuild while another open holds the index's lock (it is writing) is
// refused with words, and the file is left as it was.
TEST_P(SharedIndexTest, SharedRebuildRefusedWhileAnotherWrites) {
  auto a = OpenCallbook();
  ASSERT_TRUE(a->LockIndexFiles());
  KTO_dBHandler b(dbf_, true, false);
  b.SetLockWait(100);
  const std::string index = dir_ / shared_index::IndexName(GetParam());
  try {
    tessera::ReindexIndexFile(b, index);
    ADD_FAILURE() << "rebuilt while another program writes";
  } catch (const tessera::ETesseraError& e) {
    EXPECT_NE(std::string(e.what()).find("is in use by another program"), std::string::npos) << e.what();
  }
  a->UnlockIndexFiles();
  a.reset();
  ExpectSound();
}

// A rebuild alone, then writes through the rebuilt file.
TEST_P(SharedIndexTest, RebuildAloneThenWrites) {
  const std::string index = dir_ / shared_index::IndexName(GetParam());
  {
    KTO_dBHandler b(dbf_, true, false);
    EXPECT_NO_THROW(tessera::ReindexIndexFile(b, index));
  }
  {
    KTO_dBHandler b(dbf_, false, true);
    EXPECT_NO_THROW(tessera::ReindexIndexFile(b, index));
  }
  auto a = OpenCallbook();
  const int32_t r = shared_index::AppendCard(*a, "ZZ4A0");
  EXPECT_TRUE(shared_index::Finds(*a, "ZZ4A0", r));
  a.reset();
  ExpectSound();
}

INSTANTIATE_TEST_SUITE_P(Kinds, SharedIndexTest, ::testing::Values(Kind::kCdx, Kind::kMdx, Kind::kNdx, Kind::kNtx),
                         [](const auto& info) { return std::string(shared_index::KindName(info.param)); });

}  // namespace
