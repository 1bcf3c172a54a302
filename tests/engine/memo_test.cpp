// The three memo layouts: block use, in-place rewrites, the dBase IV free
// list, damaged files, and two processes writing memos at once.
#include "engine/memo.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "engine/dbf_fields.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/fx_memo.h"
#include "engine/memo4.h"
#include "support/temp_dir.h"
#include "table_test_util.h"

namespace {

using tessera::KTO_dBaseFld;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

class MemoTest : public ::testing::TestWithParam<uint8_t> {
 protected:
  void Make(uint8_t version, int32_t block_size = 0) {
    tessera::CreateTable(path_, version, {{"ID", 'N', 5, 0}, {"NOTE", 'M', 0, 0}}, {block_size, true});
    t_ = std::make_unique<KTO_dBaseFld>(path_, true, true);
  }
  // Appends a record whose memo is `text`; answers its record number.
  int32_t Add(const std::string& text) {
    t_->BlankRecord();
    Write(text);
    t_->AppendRecord();
    return t_->CurrentRecord();
  }
  void Write(const std::string& text) {
    int32_t size = static_cast<int32_t>(text.size());
    ASSERT_TRUE(t_->MemoWrite(2, text.data(), &size));
  }
  std::string MemoPath() { return dir_ / (version_is_dbt_ ? "memo.dbt" : "memo.fpt"); }
  int64_t MemoFileSize() { return static_cast<int64_t>(ReadFileBytes(MemoPath()).size()); }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::string path_ = dir_ / "memo.dbf";
  bool version_is_dbt_ = true;
  std::unique_ptr<KTO_dBaseFld> t_;
};

std::string Text(size_t n, char seed = 'a') {
  std::string s(n, ' ');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 23);
  return s;
}

TEST_F(MemoTest, DBase3BlockUseAndInPlaceRewrites) {
  Make(0x83);
  const int32_t r1 = Add(Text(510));
  EXPECT_EQ(t_->MemoBlock(2), 1);
  Add(Text(511));
  EXPECT_EQ(t_->MemoBlock(2), 2);  // 510 bytes and two end marks fill one block
  Add(Text(10));
  EXPECT_EQ(t_->MemoBlock(2), 4);  // 511 bytes took two
  const std::string bytes = ReadFileBytes(MemoPath());
  EXPECT_EQ(bytes.substr(512 + 510, 2), "\x1A\x1A");

  t_->GotoRecord(r1);
  Write(Text(100, 'k'));
  EXPECT_EQ(t_->MemoBlock(2), 1);  // still fits its block
  t_->WriteRecord(r1);
  Write(Text(600, 'q'));
  EXPECT_EQ(t_->MemoBlock(2), 5);  // appended at the next free block
  EXPECT_EQ(t_->MemoText(2), Text(600, 'q'));
  t_->WriteRecord(r1);
  KTO_dBaseFld again(path_, true, false);
  again.GotoRecord(r1);
  EXPECT_EQ(again.MemoText(2), Text(600, 'q'));
  again.GotoRecord(2);
  EXPECT_EQ(again.MemoText(2), Text(511));
}

TEST_F(MemoTest, DBase3MemosLongerThan64KReadWhole) {
  Make(0x83);
  Add(Text(70000));
  EXPECT_EQ(t_->MemoSize(2), 70000);
  EXPECT_EQ(t_->MemoText(2), Text(70000));
}

TEST_F(MemoTest, DBase4FreeListReuse) {
  Make(0x8B);
  const int32_t r1 = Add(Text(504));
  EXPECT_EQ(t_->MemoBlock(2), 1);
  Add(Text(505));
  EXPECT_EQ(t_->MemoBlock(2), 2);  // 504 + 8 fill one block, 505 need two
  const int32_t r3 = Add(Text(20));
  EXPECT_EQ(t_->MemoBlock(2), 4);
  const int64_t size_before = MemoFileSize();

  // Growing the first memo releases its block and takes new ones at the end.
  t_->GotoRecord(r1);
  Write(Text(1000, 'x'));
  EXPECT_EQ(t_->MemoBlock(2), 5);
  t_->WriteRecord(r1);
  // The released block is first on the free list: the next new memo of
  // equal or smaller size takes it.
  const int32_t r4 = Add(Text(300, 'y'));
  EXPECT_EQ(t_->MemoBlock(2), 1);
  EXPECT_EQ(t_->MemoText(2), Text(300, 'y'));
  EXPECT_GT(MemoFileSize(), size_before);
  // A rewrite releases its own run first and so takes it back when it fits.
  t_->GotoRecord(r3);
  Write(Text(400, 'w'));
  EXPECT_EQ(t_->MemoBlock(2), 4);
  t_->WriteRecord(r3);
  t_->GotoRecord(r4);
  EXPECT_EQ(t_->MemoText(2), Text(300, 'y'));
  t_->GotoRecord(r1);
  EXPECT_EQ(t_->MemoText(2), Text(1000, 'x'));
  // Shrinking in place: the run is released and retaken at once.
  Write(Text(10, 'z'));
  EXPECT_EQ(t_->MemoBlock(2), 5);
  t_->WriteRecord(r1);
  EXPECT_EQ(t_->MemoText(2), Text(10, 'z'));
}

TEST_F(MemoTest, FoxProBlockHeaderAndSizes) {
  version_is_dbt_ = false;
  Make(0xF5, 64);
  Add(Text(56));
  EXPECT_EQ(t_->MemoBlock(2), 8);  // after the 512-byte header
  Add(Text(57));
  EXPECT_EQ(t_->MemoBlock(2), 9);
  Add(Text(1));
  EXPECT_EQ(t_->MemoBlock(2), 11);
  const std::string bytes = ReadFileBytes(MemoPath());
  EXPECT_EQ(bytes.substr(8 * 64, 8), std::string("\0\0\0\x01\0\0\0\x38", 8));
  // Header: the next free block, big-endian.
  EXPECT_EQ(bytes.substr(0, 4), std::string("\0\0\0\x0C", 4));
  EXPECT_EQ(t_->MemoText(2), "a");
}

TEST_F(MemoTest, ReadingIntoSmallBuffersAndEmptyMemos) {
  Make(0x83);
  Add(Text(100));
  char buf[10];
  int32_t size = 10;
  ASSERT_TRUE(t_->MemoRead(2, buf, &size));
  EXPECT_EQ(size, 10);
  EXPECT_EQ(std::string(buf, 10), Text(10));
  t_->BlankRecord();
  size = 10;
  ASSERT_TRUE(t_->MemoRead(2, buf, &size));
  EXPECT_EQ(size, 0);
  EXPECT_EQ(t_->MemoSize(2), 0);
  // Writing an empty memo leaves the field 0.
  Write("");
  EXPECT_EQ(t_->MemoBlock(2), 0);
  EXPECT_FALSE(t_->MemoRead(1, buf, &size));  // not a memo field
}

TEST_F(MemoTest, FoxProBlockOfUnknownTypeIsAFormatError) {
  version_is_dbt_ = false;
  Make(0xF5, 64);
  Add(Text(20));
  t_.reset();
  std::string bytes = ReadFileBytes(MemoPath());
  bytes[8 * 64 + 3] = 2;
  WriteFileBytes(MemoPath(), bytes);
  KTO_dBaseFld t(path_, true, false);
  t.GotoRecord(1);
  try {
    t.MemoText(2);
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("dBase memo record has format error - ", 0), 0u) << e.what();
  }
}

// Memo files are untrusted: block numbers and lengths that point outside
// the file are refused, never followed.
TEST_F(MemoTest, DamagedMemoFilesAreRefused) {
  for (uint8_t version : {uint8_t{0x83}, uint8_t{0x8B}, uint8_t{0xF5}}) {
    SCOPED_TRACE(version);
    version_is_dbt_ = version != 0xF5;
    Make(version, version == 0xF5 ? 64 : 0);
    Add(Text(100));
    // A block number beyond the end of the memo file.
    t_->PutNumberN(2, 900);
    EXPECT_THROW(t_->MemoText(2), tessera::ETesseraError);
    EXPECT_THROW(t_->MemoSize(2), tessera::ETesseraError);
    t_.reset();
    // A length that runs past the end of the file / a missing end mark.
    std::string bytes = ReadFileBytes(MemoPath());
    const size_t block = version == 0xF5 ? 8 * 64 : 512;
    if (version == 0x83) {
      bytes.resize(block + 50);  // cut inside the memo: no end mark
    } else if (version == 0x8B) {
      bytes[block + 4] = static_cast<char>(0xFF);  // total length 0xFF + ...
      bytes[block + 5] = static_cast<char>(0xFF);
    } else {
      bytes[block + 4] = 0x10;  // data length of 0x10000xx
    }
    WriteFileBytes(MemoPath(), bytes);
    KTO_dBaseFld t(path_, true, true);
    t.GotoRecord(1);
    EXPECT_THROW(t.MemoText(2), tessera::ETesseraError);
    // Writing over a damaged memo does not write into the file.
    const std::string before = ReadFileBytes(MemoPath());
    int32_t size = 5;
    EXPECT_THROW(t.MemoWrite(2, "hello", &size), tessera::ETesseraError);
    EXPECT_EQ(ReadFileBytes(MemoPath()), before);
  }
}

TEST_F(MemoTest, BlockSizeZeroIsRefused) {
  for (uint8_t version : {uint8_t{0x8B}, uint8_t{0xF5}}) {
    version_is_dbt_ = version != 0xF5;
    Make(version, version == 0xF5 ? 64 : 0);
    t_.reset();
    std::string bytes = ReadFileBytes(MemoPath());
    std::memset(bytes.data() + (version == 0xF5 ? 4 : 20), 0, 4);
    WriteFileBytes(MemoPath(), bytes);
    KTO_dBaseFld t(path_, true, true);
    try {
      t.MemoFile();
      FAIL() << "opened a memo file with block size 0";
    } catch (const tessera::ETesseraError& e) {
      EXPECT_NE(std::string(e.what()).find("memo record has format error"), std::string::npos);
    }
  }
}

TEST_F(MemoTest, DBase4FreeListThatLoopsIsAnError) {
  Make(0x8B);
  const int32_t r1 = Add(Text(600));  // blocks 1-2
  Add(Text(600));                     // blocks 3-4
  t_->GotoRecord(r1);
  Write(Text(2000));  // releases 1-2
  t_->WriteRecord(r1);
  t_.reset();
  // Make the released run point at itself and claim to be too short.
  std::string bytes = ReadFileBytes(MemoPath());
  bytes[512] = 1;  // next = 1
  bytes[513] = bytes[514] = bytes[515] = 0;
  bytes[516] = 1;  // length 1
  WriteFileBytes(MemoPath(), bytes);
  t_ = std::make_unique<KTO_dBaseFld>(path_, true, true);
  t_->BlankRecord();
  int32_t size = 1000;
  const std::string big = Text(1000);
  EXPECT_THROW(t_->MemoWrite(2, big.data(), &size), tessera::ETesseraError);
}

TEST_F(MemoTest, MissingMemoFileIsReportedThroughTheTable) {
  Make(0x83);
  t_.reset();
  ::unlink(MemoPath().c_str());
  KTO_dBaseFld t(path_, true, false);
  try {
    t.MemoFile();
    FAIL();
  } catch (const tessera::ETesseraError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("File not found - /", 0), 0u);
    EXPECT_NE(std::string(e.what()).find("MEMO.DBT"), std::string::npos);
  }
}

TEST_F(MemoTest, MemoWithoutTableReportsToTheEngineHandler) {
  Make(0x83);
  t_.reset();
  static int code = 0;
  const tessera::EngineErrorProc saved = tessera::EngineErrorHandler;
  tessera::EngineErrorHandler = [](int32_t c, int32_t, const std::string&) { code = c; };
  tessera::KTobjMemo memo(nullptr, 0x83, false, true, path_);
  EXPECT_EQ(memo.MemoLength(77), 0);
  tessera::EngineErrorHandler = saved;
  EXPECT_EQ(code, 1005);
}

// Two processes append memos to one shared memo file at once: every memo
// must come back intact (no two writers take the same blocks).
TEST_F(MemoTest, TwoProcessesNeverTakeTheSameBlocks) {
  for (uint8_t version : {uint8_t{0x83}, uint8_t{0x8B}, uint8_t{0xF5}}) {
    SCOPED_TRACE(version);
    version_is_dbt_ = version != 0xF5;
    Make(version, version == 0xF5 ? 64 : 0);
    t_.reset();
    constexpr int kPerProcess = 150;
    pid_t pids[2];
    for (int p = 0; p < 2; ++p) {
      pids[p] = ::fork();
      if (pids[p] == 0) {
        int status = 0;
        try {
          KTO_dBaseFld t(path_, true, true);
          for (int i = 0; i < kPerProcess; ++i) {
            t.BlankRecord();
            t.PutNumberN(1, p * 1000 + i);
            const std::string text = std::to_string(p * 1000 + i) + ":" + Text(static_cast<size_t>(50 + (i * 37) % 900));
            int32_t size = static_cast<int32_t>(text.size());
            t.MemoWrite(2, text.data(), &size);
            t.AppendRecord();
          }
        } catch (...) {
          status = 1;
        }
        ::_exit(status);
      }
    }
    for (pid_t pid : pids) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    KTO_dBaseFld t(path_, true, false);
    ASSERT_EQ(t.RecordCount(), 2 * kPerProcess);
    for (int32_t r = 1; r <= t.RecordCount(); ++r) {
      t.GotoRecord(r);
      const int id = static_cast<int>(t.GetNumberN(1));
      const int i = id % 1000;
      EXPECT_EQ(t.MemoText(2), std::to_string(id) + ":" + Text(static_cast<size_t>(50 + (i * 37) % 900))) << r;
    }
  }
}

}  // namespace
