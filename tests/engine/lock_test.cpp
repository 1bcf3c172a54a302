// Table, record and append locks: where each protocol puts them, how they
// nest, and that another process is refused while they are held and gets
// them once the holder closes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "platform/file.h"
#include "platform/last_error.h"
#include "support/temp_dir.h"
#include "table_test_util.h"

namespace {

using tessera::KTO_dBaseFld;
using testing_support::TempDir;

// A table whose handler has an index file open (record locks then move to
// the top of the lock area under the default protocol).
class IndexedTable : public KTO_dBaseFld {
 public:
  using KTO_dBaseFld::KTO_dBaseFld;
  bool HasIndexFile() override { return true; }
};

// True when some other open holds a lock on the byte.
bool LockedElsewhere(const std::string& path, uint64_t offset) {
  plat::FileHandle probe = plat::FileHandle::Open(path, true, true);
  if (!probe.valid()) return false;
  if (probe.Lock(offset, 1)) {
    probe.Unlock(offset, 1);
    return false;
  }
  return true;
}

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::MakeSmallTable(path_);
    KTO_dBaseFld t(path_, false, true);
    for (int i = 0; i < 5; ++i) {
      t.BlankRecord();
      t.AppendRecord();
    }
  }
  tessera::EngineScope engine_;
  TempDir dir_;
  std::string path_ = dir_ / "locks.dbf";
};

TEST_F(LockTest, RecordLockBytesByProtocol) {
  const int header = 97, reclen = 19;
  struct Case {
    int protocol;
    bool indexed;
    uint64_t byte_for_record_3;
  } cases[] = {
      {tessera::kDefaultLock, false, 0x40000000u + header + 2 * reclen},
      {tessera::kDefaultLock, true, 0x7FFFFFFEu - 3},
      {tessera::kFoxLock, false, 0x7FFFFFFEu - 3},
      {tessera::kFoxLock, true, 0x7FFFFFFEu - 3},
      {tessera::kDB4Lock, false, 0xEFFFFFFFu - 1 - 3},
      {tessera::kClipLock, false, 1000000000u + 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.protocol);
    std::unique_ptr<KTO_dBaseFld> t = c.indexed ? std::make_unique<IndexedTable>(path_, true, true)
                                                : std::make_unique<KTO_dBaseFld>(path_, true, true);
    t->SetLockProtocol(c.protocol);
    t->GotoRecord(3);
    ASSERT_TRUE(t->LockRecord());
    EXPECT_TRUE(LockedElsewhere(path_, c.byte_for_record_3));
    EXPECT_FALSE(LockedElsewhere(path_, c.byte_for_record_3 + 1));
    EXPECT_TRUE(t->UnlockTable());
    EXPECT_FALSE(LockedElsewhere(path_, c.byte_for_record_3));
  }
}

TEST_F(LockTest, TableAndAppendRangesByProtocol) {
  struct Case {
    int protocol;
    uint64_t append, table_first, table_last;
  } cases[] = {
      {tessera::kDefaultLock, 0x7FFFFFFE, 0x40000000, 0x40000000 + 0x3FFFFFFEull},
      {tessera::kDB4Lock, 0xEFFFFFFF, 0x40000000, 0x40000000 + 0xAFFFFFFFull},
      {tessera::kClipLock, 1000000000, 1000000000, 1999999999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.protocol);
    KTO_dBaseFld t(path_, true, true);
    t.SetLockProtocol(c.protocol);
    ASSERT_TRUE(t.LockAppend());
    EXPECT_TRUE(LockedElsewhere(path_, c.append));
    t.UnlockTable();
    ASSERT_TRUE(t.LockTable());
    EXPECT_TRUE(LockedElsewhere(path_, c.table_first));
    EXPECT_TRUE(LockedElsewhere(path_, c.table_last));
    EXPECT_FALSE(LockedElsewhere(path_, c.table_last + 1));
    t.UnlockTable();
    ASSERT_TRUE(t.LockAllBytes());
    EXPECT_TRUE(LockedElsewhere(path_, 0));
    EXPECT_TRUE(LockedElsewhere(path_, 0x7FFFFFFE));
    t.UnlockTable();
    EXPECT_FALSE(LockedElsewhere(path_, 0));
  }
  KTO_dBaseFld t(path_, true, true);
  t.SetLockProtocol(4);  // no such protocol: record locks are refused
  t.GotoRecord(1);
  EXPECT_FALSE(t.LockRecord());
}

TEST_F(LockTest, OneObjectHoldsOneRangeAndNests) {
  KTO_dBaseFld t(path_, true, true);
  t.GotoRecord(1);
  ASSERT_TRUE(t.LockRecord());
  ASSERT_TRUE(t.LockRecord());  // the same range nests
  EXPECT_EQ(t.LockCount(), 2);
  t.GotoRecord(2);
  EXPECT_FALSE(t.LockRecord());  // another range while one is held
  EXPECT_EQ(t.LastError(), 33);
  t.UnlockTable();
  t.UnlockTable();
  EXPECT_EQ(t.LockCount(), 0);
  // Under a table lock every further lock only counts up.
  ASSERT_TRUE(t.LockTable());
  EXPECT_TRUE(t.LockRecord());
  EXPECT_TRUE(t.LockAppend());
  EXPECT_TRUE(t.LockTable());
  EXPECT_EQ(t.LockCount(), 4);
  for (int i = 0; i < 4; ++i) t.UnlockTable();
  EXPECT_FALSE(t.TableLocked());
}

// The parent takes a lock, a child process is refused it, the parent
// closes, and the child then gets it.
void ContendAcrossProcesses(const std::string& path, int protocol, const char* kind) {
  auto take = [&](KTO_dBaseFld& t) {
    t.SetLockProtocol(protocol);
    if (std::string(kind) == "record") {
      t.GotoRecord(2);
      return t.LockRecord();
    }
    if (std::string(kind) == "append") return t.LockAppend();
    return t.LockTable();
  };
  int to_child[2], to_parent[2];
  ASSERT_EQ(::pipe(to_child), 0);
  ASSERT_EQ(::pipe(to_parent), 0);
  auto holder = std::make_unique<KTO_dBaseFld>(path, true, true);
  ASSERT_TRUE(take(*holder));
  const pid_t pid = ::fork();
  if (pid == 0) {
    int status = 0;
    {
      KTO_dBaseFld t(path, true, true);
      if (take(t) || t.LastError() != plat::kErrLockViolation) status |= 1;
      char c = 'r';
      if (::write(to_parent[1], &c, 1) != 1) status |= 8;
      if (::read(to_child[0], &c, 1) != 1) status |= 8;
      if (!take(t)) status |= 2;
      t.UnlockTable();
    }
    ::_exit(status);
  }
  char c = 0;
  ASSERT_EQ(::read(to_parent[0], &c, 1), 1);
  holder.reset();  // closing releases the lock
  ASSERT_EQ(::write(to_child[1], "g", 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << kind << " under protocol " << protocol
                                    << " (1: not refused while held, 2: not granted after close)";
  for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]}) ::close(fd);
}

TEST_F(LockTest, AnotherProcessIsRefusedUntilTheHolderCloses) {
  for (int protocol : {tessera::kDefaultLock, tessera::kDB4Lock, tessera::kClipLock, tessera::kFoxLock})
    for (const char* kind : {"record", "append", "table"}) ContendAcrossProcesses(path_, protocol, kind);
}

}  // namespace
