// Record writes change NTX keys in the stored pages (NtxPages) instead of
// through node objects: the same random appends, key changes and FOR flips
// run once with changes in place and once through the node objects, from
// the same bulk-built files (and from empty ones). Both must pass the full
// check and every tag must hold the same records in the same order, which
// is also the order a bulk build of the final table gives. Long keys make
// pages of two keys, so leaves and interior pages split up to a new root
// every few writes and keys leave interior pages; few distinct names make
// long runs of equal keys, kept in the order they came; the blank name
// gives empty keys. Descending, FOR and numeric tags are kept in place too;
// a unique tag goes through the node objects either way. Under exclusive
// use the pages are held until the changes are finished (NtxHeldPages).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/byte_order.h"
#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "index/index_tag.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "support/temp_dir.h"
#include "cdx_test_util.h"
#include "corrupt_index_fixture.h"

namespace {

using testing_support::FileBytes;
using testing_support::TempDir;

struct Tag {
  const char* file;
  const char* expression;
  bool unique, ascending;
  const char* for_expr;
};

const std::vector<Tag> kTags = {
    {"NAME.NTX", "NAME", false, true, ""},     {"NAMED.NTX", "NAME", false, false, ""},
    {"NAMEOK.NTX", "NAME", false, true, "OK"}, {"KINDNAME.NTX", "KIND+NAME", false, true, ""},
    {"NUM.NTX", "NUM", false, true, ""},       {"UNAME.NTX", "NAME", true, true, ""},
};

class Writer {
 public:
  Writer(uint32_t seed, int name_length) : rng_(seed), name_length_(name_length) {}
  std::string Name() {
    if (rng_() % 20 == 0) return "";
    std::string n;
    const int length = 1 + static_cast<int>(rng_() % static_cast<uint32_t>(name_length_));
    for (int i = 0; i < length; ++i) n += static_cast<char>('A' + rng_() % 4);
    return n;
  }
  void Fill(tessera::KTO_dBHandler& t) {
    t.BlankRecord();
    t.PutText("NAME", Name());
    t.PutText("KIND", std::string(1, static_cast<char>('P' + rng_() % 3)));
    t.PutLogical("OK", rng_() % 2 == 0);
    t.PutNumber("NUM", static_cast<double>(rng_() % 2000) - 1000);
  }
  // One record write: mostly an append, else a change of one field.
  void Step(tessera::KTO_dBHandler& t) {
    const uint32_t what = rng_() % 6;
    if (what <= 1 || t.RecordCount() == 0) {
      Fill(t);
      t.AppendRecord();
      return;
    }
    const int32_t r = static_cast<int32_t>(1 + rng_() % static_cast<uint32_t>(t.RecordCount()));
    t.GotoRecord(r);
    if (what == 2) t.PutText("NAME", Name());
    else if (what == 3) t.PutLogical("OK", !t.GetLogical("OK"));
    else if (what == 4) t.PutNumber("NUM", static_cast<double>(rng_() % 2000) - 1000);
    else t.PutText("NAME", "");
    t.WriteRecord(r);
  }

 private:
  std::mt19937 rng_;
  int name_length_;
};

struct InPlaceOff {
  InPlaceOff() { tessera::KTobjIndexTag::SetInPlaceChanges(false); }
  ~InPlaceOff() { tessera::KTobjIndexTag::SetInPlaceChanges(true); }
};

// Every tag's keys and records in its order, by file name.
using Orders = std::map<std::string, std::vector<std::pair<std::string, int32_t>>>;

// The levels of a file's tree, down its first children.
int Depth(tessera::KTobjNTXFile& file) {
  uint8_t p[1024];
  if (!file.ReadDirect(0, p, 8)) return 0;
  int32_t page = static_cast<int32_t>(tessera::bytes::GetLE32(p + 4));
  for (int depth = 1; depth < 64; ++depth) {
    if (!file.ReadDirect(page, p, 1024)) return 0;
    page = static_cast<int32_t>(tessera::bytes::GetLE32(p + tessera::bytes::GetLE16(p + 2)));
    if (page == 0) return depth;
  }
  return 0;
}

Orders ReadOrders(tessera::KTO_dBHandler& t, const std::string& run) {
  Orders orders;
  for (int slot = 1; slot <= static_cast<int>(kTags.size()); ++slot) {
    auto* file = static_cast<tessera::KTobjNTXFile*>(t.IndexFile(slot));
    for (const auto& f : tessera::CheckNtxFile(*file)) ADD_FAILURE() << run << " " << file->FileName() << ": " << f;
    tessera::KTobjIndexTag* tag = file->Tag();
    auto& order = orders[file->FileName()];
    tag->ResetTree(0);
    for (int32_t r = tag->CurrentKey().Reference; r != 0; r = tag->Navigate(-1))
      order.emplace_back(std::string(tag->CurrentKey().bytes()), r);
  }
  return orders;
}

void CreateTags(tessera::KTO_dBHandler& t) {
  for (const Tag& tag : kTags)
    t.CreateIndexTag(tag.file, "", tag.expression, tag.for_expr,
                     tag.unique ? tessera::kUniqueKeys : tessera::kDuplicateKeys, tag.ascending ? 0 : 1);
}

struct Case {
  bool shared;
  int name_length;
};

class NtxInPlace : public ::testing::TestWithParam<Case> {};

TEST_P(NtxInPlace, RecordWritesKeepTheOrderOfTheNodeObjectsAndOfABulkBuild) {
  const Case c = GetParam();
  tessera::EngineScope engine;
  for (uint32_t seed : {21u, 22u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir dir;
    const std::string base = dir / "base";
    std::filesystem::create_directories(base);
    tessera::CreateTable(base + "/t.dbf", 0x03,
                         {{"NAME", 'C', c.name_length, 0}, {"KIND", 'C', 1, 0}, {"OK", 'L', 1, 0}, {"NUM", 'N', 6, 0}});
    {
      tessera::KTO_dBHandler t(base + "/t.dbf", false, true);
      Writer w(seed, c.name_length);
      // From a bulk build over some records, and from empty tags.
      for (int i = 0; i < (seed == 21 ? 300 : 0); ++i) {
        w.Fill(t);
        t.AppendRecord();
      }
      CreateTags(t);
    }
    std::map<std::string, Orders> runs;
    for (const char* run : {"on", "off"}) {
      const std::string d = dir / run;
      std::filesystem::create_directories(d);
      for (const auto& e : std::filesystem::directory_iterator(base))
        std::filesystem::copy_file(e.path(), d + "/" + e.path().filename().string());
      std::unique_ptr<InPlaceOff> off;
      if (std::string(run) == "off") off = std::make_unique<InPlaceOff>();
      const uint64_t before = tessera::KTobjIndexTag::InPlaceChangeCount();
      {
        tessera::KTO_dBHandler t(d + "/t.dbf", c.shared, true);
        for (const Tag& tag : kTags) ASSERT_EQ(t.OpenIndexFile(tag.file), 0) << tag.file;
        t.SelectMasterTag("NAME", false);
        Writer w(seed + 100, c.name_length);
        for (int i = 0; i < 700; ++i) {
          if (c.shared) t.LockTable();
          w.Step(t);
          if (c.shared) t.UnlockTable();
        }
        // Closed without a flush: whatever was held reaches the files.
      }
      const uint64_t made = tessera::KTobjIndexTag::InPlaceChangeCount() - before;
      if (std::string(run) == "on") EXPECT_GT(made, 1000u) << "changes in place";
      else EXPECT_EQ(made, 0u);
      // A second open reads what the first wrote.
      tessera::KTO_dBHandler t(d + "/t.dbf", c.shared, true);
      for (const Tag& tag : kTags) ASSERT_EQ(t.OpenIndexFile(tag.file), 0) << tag.file;
      runs[run] = ReadOrders(t, run);
      if (std::string(run) == "on") {
        // Pages of two keys grew to several levels through splits of the
        // root.
        if (c.name_length == 200) {
          EXPECT_GE(Depth(*static_cast<tessera::KTobjNTXFile*>(t.IndexFile(1))), 6);
        }
        // A bulk build of the final table gives the same orders.
        t.CloseIndexFiles();
        CreateTags(t);
        for (const Tag& tag : kTags) ASSERT_EQ(t.OpenIndexFile(tag.file), 0) << tag.file;
        runs["bulk"] = ReadOrders(t, "bulk");
      }
    }
    for (const auto& [name, order] : runs["off"]) {
      EXPECT_FALSE(order.empty()) << name;
      EXPECT_EQ(runs["on"][name], order) << name;
      // A unique tag kept current holds the key of the record that came
      // first to it, a bulk build that of the first record.
      if (name == "UNAME.NTX") continue;
      // A bulk build orders equal keys by record, record writes by when
      // they came: the same keys, and the same records.
      auto bulk = runs["bulk"][name], on = runs["on"][name];
      ASSERT_EQ(bulk.size(), on.size()) << name;
      for (size_t i = 0; i < bulk.size(); ++i) ASSERT_EQ(bulk[i].first, on[i].first) << name << " key " << i;
      std::sort(bulk.begin(), bulk.end());
      std::sort(on.begin(), on.end());
      EXPECT_EQ(bulk, on) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, NtxInPlace,
                         ::testing::Values(Case{false, 12}, Case{true, 12}, Case{false, 200}, Case{true, 200}),
                         [](const auto& info) {
                           return std::string(info.param.shared ? "Shared" : "Exclusive") +
                                  std::to_string(info.param.name_length);
                         });

// Under exclusive use the pages a record write changes are held until the
// changes are finished: the file keeps its pages meanwhile and carries the
// mark; a flush writes them and takes the mark off, and a second open
// after the close reads every key. A writer that dies before that leaves
// the mark, and the file is refused until it is rebuilt.
class NtxHeldPages : public ::testing::Test {
 protected:
  void SetUp() override {
    dbf_ = dir_ / "t.dbf";
    tessera::CreateTable(dbf_, 0x03, {{"NAME", 'C', 12, 0}});
    tessera::KTO_dBHandler t(dbf_, false, true);
    for (int i = 0; i < 400; ++i) Append(t, i);
    t.CreateIndexTag("NAME.NTX", "", "NAME", "", tessera::kDuplicateKeys, 0);
  }
  static void Append(tessera::KTO_dBHandler& t, int i) {
    t.BlankRecord();
    t.PutText("NAME", "N" + std::to_string((i * 7919) % 100000));
    t.AppendRecord();
  }
  std::string Mark() const { return FileBytes(ntx()).substr(1016, 8); }
  std::string ntx() const { return dir_ / "NAME.NTX"; }

  tessera::EngineScope engine_;
  TempDir dir_;
  std::string dbf_;
};

TEST_F(NtxHeldPages, WrittenAtFlushAndReadBySecondOpen) {
  const std::string before = FileBytes(ntx());
  ASSERT_EQ(Mark(), std::string(8, '\0'));
  {
    tessera::KTO_dBHandler t(dbf_, false, true);
    ASSERT_EQ(t.OpenIndexFile("NAME.NTX"), 0);
    for (int i = 400; i < 1000; ++i) Append(t, i);
    // Nothing but the mark reached the file.
    std::string now = FileBytes(ntx());
    EXPECT_EQ(now.substr(1016, 8), "TSRWRITE");
    now.replace(1016, 8, std::string(8, '\0'));
    EXPECT_TRUE(now == before) << "pages reached the file before the flush";
    t.Flush();
    EXPECT_EQ(Mark(), std::string(8, '\0'));
    EXPECT_GT(FileBytes(ntx()).size(), before.size());
    for (int i = 1000; i < 1100; ++i) Append(t, i);
    EXPECT_EQ(Mark(), "TSRWRITE");
  }
  EXPECT_EQ(Mark(), std::string(8, '\0'));
  tessera::KTO_dBHandler t(dbf_, false, true);
  ASSERT_EQ(t.OpenIndexFile("NAME.NTX"), 0);
  auto* file = static_cast<tessera::KTobjNTXFile*>(t.IndexFile(1));
  for (const auto& f : tessera::CheckNtxFile(*file)) ADD_FAILURE() << f;
  tessera::KTobjIndexTag* tag = file->Tag();
  tag->ResetTree(0);
  int keys = 0;
  for (int32_t r = tag->CurrentKey().Reference; r != 0; r = tag->Navigate(-1)) ++keys;
  EXPECT_EQ(keys, 1100);
}

TEST_F(NtxHeldPages, AWriterThatDiesLeavesTheFileToBeRebuilt) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int status = 0;
    try {
      tessera::KTO_dBHandler t(dbf_, false, true);
      if (t.OpenIndexFile("NAME.NTX") != 0) ::_exit(2);
      for (int i = 400; i < 700; ++i) Append(t, i);
      // Gone without a flush or a close.
      ::_exit(0);
    } catch (...) {
      status = 3;
    }
    ::_exit(status);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Mark(), "TSRWRITE");
  std::string message;
  int32_t opened = -1;
  try {
    tessera::KTO_dBHandler t(dbf_, false, true);
    opened = t.OpenIndexFile("NAME.NTX");
  } catch (const std::exception& e) {
    message = e.what();
  }
  EXPECT_TRUE(opened != 0) << "a file with the mark was opened";
  if (!message.empty()) {
    EXPECT_NE(message.find("needs a rebuild"), std::string::npos) << message;
  }
  // A rebuild makes it whole again, without the mark.
  tessera::KTO_dBHandler t(dbf_, false, true);
  t.CreateIndexTag("NAME.NTX", "", "NAME", "", tessera::kDuplicateKeys, 0);
  EXPECT_EQ(Mark(), std::string(8, '\0'));
  ASSERT_EQ(t.OpenIndexFile("NAME.NTX"), 0);
  for (const auto& f : tessera::CheckNtxFile(*static_cast<tessera::KTobjNTXFile*>(t.IndexFile(1)))) ADD_FAILURE() << f;
}

// A damaged page met by a search, a step or a record write over the
// stored pages is reported as a damaged index (2112, naming the file),
// under shared and exclusive use, and nothing reaches the file.
class NtxDamagedPages : public testing_support::CorruptIndexTest {
 protected:
  void SetUp() override {
    index_ = dir_ / "m.ntx";
    upper_name_ = "M.NTX";
    CreateNames(10, 3000, 8, 5);
    tessera::KTO_dBHandler t(dbf_, true, true);
    t.CreateIndexTag(index_, "", "NAME", "", tessera::kDuplicateKeys, 0);
    good_ = FileBytes(index_);
  }
  void ExpectRefused(const std::string& bytes, bool shared, const char* what) {
    testing_support::PutFileBytes(index_, bytes);
    for (int op = 0; op < 3; ++op) {
      std::string msg;
      try {
        tessera::KTO_dBHandler t(dbf_, shared, true);
        ASSERT_EQ(t.OpenIndexFile(index_), 0) << what;
        if (op == 0) {
          t.BlankRecord();
          t.PutText("NAME", "AAAAAAAA");
          t.AppendRecord();
        } else if (op == 1) {
          t.GotoRecord(1);
          t.PutText("NAME", "AAAAAAAB");
          t.WriteRecord(1);
        } else {
          tessera::KTobjIndexKeyData key;
          key.SetText("AAAAAAAA");
          t.TagByNumber(1)->Seek(key);
          for (int i = 0; i < 100 && t.TagByNumber(1)->Navigate(-1) != 0; ++i) {
          }
        }
      } catch (const tessera::ETesseraError& e) {
        msg = e.what();
      }
      EXPECT_EQ(msg.rfind("Tessera Error 2112: the index file is damaged or is not an index file (/", 0), 0u)
          << what << " op " << op << ": " << msg;
      EXPECT_TRUE(FileBytes(index_) == bytes) << what << " op " << op;
    }
  }
};

TEST_F(NtxDamagedPages, SearchesStepsAndWritesRefuseThem) {
  using testing_support::Le16;
  using testing_support::Le32;
  using testing_support::PutLe16;
  const size_t root = Le32(good_, 4);
  const size_t leaf = Le32(good_, root + Le16(good_, root + 2));
  for (bool shared : {true, false}) {
    std::string b = good_;
    PutLe16(b, leaf + 2, 1020);
    ExpectRefused(b, shared, "first slot outside the page");
    b = good_;
    PutLe16(b, leaf, 70);
    ExpectRefused(b, shared, "key count above capacity");
    b = good_;
    PutLe16(b, root + 2, 3);
    ExpectRefused(b, shared, "root slot inside the offset table");
    b = good_;
    b.resize(root + 512);
    ExpectRefused(b, shared, "root page cut in half");
  }
}

}  // namespace
