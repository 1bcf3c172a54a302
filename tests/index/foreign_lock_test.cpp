// Another xBase program beside ours, played by a second process that takes
// classic POSIX locks (fcntl F_SETLK) on the bytes its family's lock scheme
// is documented to use:
//   compound index (Visual FoxPro, Harbour DBFCDX): table append byte
//     0x7FFFFFFE, record r at 0x7FFFFFFE - r, the CDX at 0x7FFFFFFE, writers
//     exclusively, readers shared while they search;
//   NTX (Clipper): table append byte 1,000,000,000, record r at
//     1,000,000,000 + r, the NTX at 1,000,000,000;
//   MDX, NDX (dBase IV): table append byte 0xEFFFFFFF, record r at
//     0xEFFFFFFE - r, the index at 0xEFFFFFFE and 0xEFFFFFFF.
// Our writers must wait for its locks and it for ours; our readers must
// let its readers in and keep its writers out.
#include <gtest/gtest.h>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "shared_index_util.h"
#include "support/foreign_locker.h"
#include "support/temp_dir.h"

namespace {

using shared_index::Kind;
using tessera::KTO_dBHandler;
using testing_support::ForeignLocker;
using testing_support::TempDir;

struct Scheme {
  uint64_t index_byte;   // the byte the other program locks its index at
  uint64_t append_byte;  // the table's append lock
  uint64_t record_base;  // record r: base - r (descending) or base + r
  bool records_descend;
  uint64_t Record(int32_t r) const { return records_descend ? record_base - r : record_base + r; }
};

Scheme SchemeOf(Kind k) {
  switch (k) {
    case Kind::kCdx: return {0x7FFFFFFE, 0x7FFFFFFE, 0x7FFFFFFE, true};
    case Kind::kNtx: return {1000000000, 1000000000, 1000000000, false};
    case Kind::kMdx:
    case Kind::kNdx: return {0xEFFFFFFE, 0xEFFFFFFF, 0xEFFFFFFE, true};
  }
  return {};
}

class ForeignLockTest : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(other_.Started());
    shared_index::MakeCallbook(dir_.path(), GetParam(), 50);
    dbf_ = dir_ / "Pyx.DBF";
    index_ = dir_ / shared_index::IndexName(GetParam());
  }

  // The table as the callbook or the tool has it: shared, its index open,
  // a short lock wait so that a refusal comes quickly.
  std::unique_ptr<KTO_dBHandler> Open(bool with_index = true) {
    auto t = std::make_unique<KTO_dBHandler>(dbf_, true, true);
    if (with_index) {
      EXPECT_EQ(t->OpenIndexFile(shared_index::IndexName(GetParam())), 0);
      t->SelectMasterTag("CALL", false);
    }
    t->SetLockWait(150);
    return t;
  }

  // Appends a card; false when the write was refused for a lock, in which
  // case nothing was written.
  bool TryAppend(KTO_dBHandler& t, const std::string& call) {
    const int32_t before = t.RecordCount();
    try {
      shared_index::AppendCard(t, call);
      return true;
    } catch (const tessera::ETesseraError&) {
      t.RefreshHeader();
      EXPECT_EQ(t.RecordCount(), before);
      return false;
    }
  }

  ForeignLocker other_;  // first: forked before anything is open here
  tessera::EngineScope engine_;
  TempDir dir_;
  std::string dbf_, index_;
};

TEST_P(ForeignLockTest, OurWritersWaitForItsIndexAndAppendLocks) {
  const Scheme s = SchemeOf(GetParam());
  auto t = Open();
  // It writes its index: our append waits, then gives up with nothing written.
  ASSERT_TRUE(other_.Lock(index_, s.index_byte, 1, true));
  EXPECT_FALSE(TryAppend(*t, "ZZ9W1"));
  ASSERT_TRUE(other_.Unlock(index_, s.index_byte, 1));
  EXPECT_TRUE(TryAppend(*t, "ZZ9W2"));
  // It appends: our append waits for its append lock.
  ASSERT_TRUE(other_.Lock(dbf_, s.append_byte, 1, true));
  EXPECT_FALSE(TryAppend(*t, "ZZ9W3"));
  ASSERT_TRUE(other_.Unlock(dbf_, s.append_byte, 1));
  EXPECT_TRUE(TryAppend(*t, "ZZ9W4"));
  // It searches (a shared lock): our searches go on beside it, our writes wait.
  ASSERT_TRUE(other_.Lock(index_, s.index_byte, 1, false));
  EXPECT_TRUE(shared_index::Finds(*t, "ZZ9W2", 51));
  EXPECT_FALSE(TryAppend(*t, "ZZ9W5"));
  ASSERT_TRUE(other_.Unlock(index_, s.index_byte, 1));
  // It writes: our searches wait too (they would read half-written nodes).
  ASSERT_TRUE(other_.Lock(index_, s.index_byte, 1, true));
  EXPECT_THROW(shared_index::Finds(*t, "ZZ9W2", 51), tessera::ETesseraError);
  ASSERT_TRUE(other_.Unlock(index_, s.index_byte, 1));
  EXPECT_TRUE(shared_index::Finds(*t, "ZZ9W4", 52));
  t.reset();
  for (const auto& f : shared_index::CheckIndex(dbf_, GetParam())) ADD_FAILURE() << f;
}

TEST_P(ForeignLockTest, ItWaitsForOurIndexLocks) {
  const Scheme s = SchemeOf(GetParam());
  auto t = Open();
  tessera::KTobjIndexFile* file = t->IndexFile(1);
  ASSERT_NE(file, nullptr);
  // We write: neither its writers nor its readers get in.
  ASSERT_TRUE(t->LockIndexFiles());
  EXPECT_FALSE(other_.Free(index_, s.index_byte, 1, true));
  EXPECT_FALSE(other_.Free(index_, s.index_byte, 1, false));
  t->UnlockIndexFiles();
  EXPECT_TRUE(other_.Free(index_, s.index_byte, 1, true));
  // We search: its readers get in, its writers do not.
  ASSERT_TRUE(file->LockIndexFileShared());
  EXPECT_TRUE(other_.Free(index_, s.index_byte, 1, false));
  EXPECT_FALSE(other_.Free(index_, s.index_byte, 1, true));
  file->UnlockIndexFile();
  EXPECT_TRUE(other_.Free(index_, s.index_byte, 1, true));
  // We append: its appends wait.
  ASSERT_TRUE(t->LockAppend());
  EXPECT_FALSE(other_.Free(dbf_, s.append_byte, 1, true));
  t->UnlockTable();
  EXPECT_TRUE(other_.Free(dbf_, s.append_byte, 1, true));
  // A rebuild keeps it out of the file altogether.
  file->LockForRebuild();
  EXPECT_FALSE(other_.Free(index_, s.index_byte, 1, false));
  file->UnlockIndexFile();
}

// Record locks meet on the same byte, with the index open or not (a program
// that writes the table alone still meets the callbook's edit).
TEST_P(ForeignLockTest, RecordLocksMeetOnTheSameByte) {
  const Scheme s = SchemeOf(GetParam());
  for (bool with_index : {true, false}) {
    // Without an index open, only a production index tells the kind.
    if (!with_index && (GetParam() == Kind::kNdx || GetParam() == Kind::kNtx)) continue;
    SCOPED_TRACE(with_index ? "index open" : "table alone");
    auto t = Open(with_index);
    t->GotoRecord(7);
    ASSERT_TRUE(t->LockRecord());
    EXPECT_FALSE(other_.Free(dbf_, s.Record(7), 1, true));
    EXPECT_TRUE(other_.Free(dbf_, s.Record(8), 1, true));
    t->UnlockTable();
    ASSERT_TRUE(other_.Lock(dbf_, s.Record(7), 1, true));
    t->GotoRecord(7);
    EXPECT_FALSE(t->LockRecord());
    t->GotoRecord(8);
    EXPECT_TRUE(t->LockRecord());
    t->UnlockTable();
    ASSERT_TRUE(other_.Unlock(dbf_, s.Record(7), 1));
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ForeignLockTest, ::testing::Values(Kind::kCdx, Kind::kMdx, Kind::kNdx, Kind::kNtx),
                         [](const auto& info) { return std::string(shared_index::KindName(info.param)); });

}  // namespace
