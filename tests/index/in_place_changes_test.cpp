// Record writes change MDX and NDX keys in the stored nodes (FixedNodes)
// instead of through node objects: the same random appends, key changes
// and FOR flips run once with changes in place and once through the node
// objects, from the same bulk-built files. Both files must pass the full
// check and every tag must hold the same records in the same order. (The
// bytes may differ: node objects keep a changed tree in memory until the
// file is flushed, so their splits take blocks in another order.) Long
// keys make nodes of a few entries, so leaves and interior nodes split (up
// to the root) every few writes; few distinct names make long runs of
// equal keys, which these formats keep in the order they came, and the
// blank name gives empty keys. Tags over numbers go through the node
// objects either way and must still agree.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cdx_test_util.h"
#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/index_tag.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "support/temp_dir.h"

namespace {

using testing_support::FileBytes;
using testing_support::TempDir;

struct Tag {
  const char* name;
  const char* expression;
  bool unique, ascending;
  const char* for_expr;
};

// MDX holds them all in one file; NDX takes the ascending ones without a
// FOR condition, one file each.
const std::vector<Tag> kTags = {
    {"NAME", "NAME", false, true, ""},        {"NAMED", "NAME", false, false, ""},
    {"KIND", "KIND", false, true, ""},        {"KINDD", "KIND", false, false, ""},
    {"NAMEOK", "NAME", false, true, "OK"},    {"OK", "OK", false, true, ""},
    {"NUM", "NUM", false, true, ""},          {"UNAME", "NAME", true, true, ""},
    {"KINDNAME", "KIND+NAME", false, true, ""},
};

bool InNdx(const Tag& t) { return t.ascending && std::string(t.for_expr).empty(); }

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
  std::string Kind() { return std::string(1, static_cast<char>('P' + rng_() % 3)); }
  void Fill(tessera::KTO_dBHandler& t) {
    t.BlankRecord();
    t.PutText("NAME", Name());
    t.PutText("KIND", Kind());
    t.PutLogical("OK", rng_() % 2 == 0);
    t.PutNumber("NUM", static_cast<double>(rng_() % 1000));
  }
  // One record write: an append or a change of one field.
  void Step(tessera::KTO_dBHandler& t) {
    const uint32_t what = rng_() % 6;
    if (what == 0 || t.RecordCount() == 0) {
      Fill(t);
      t.AppendRecord();
      return;
    }
    const int32_t r = static_cast<int32_t>(1 + rng_() % static_cast<uint32_t>(t.RecordCount()));
    t.GotoRecord(r);
    if (what == 1) t.PutText("NAME", Name());
    else if (what == 2) t.PutText("KIND", Kind());
    else if (what == 3) t.PutLogical("OK", !t.GetLogical("OK"));
    else if (what == 4) t.PutNumber("NUM", static_cast<double>(rng_() % 1000));
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

// Every tag's records in its order, by run ("on"/"off") and tag name.
using TagOrders = std::map<std::string, std::map<std::string, std::vector<int32_t>>>;

// Builds the tags over `initial` records in dir/base, then runs the same
// writes in dir/on and dir/off; answers each run's tag orders.
TagOrders RunBoth(const TempDir& dir, bool mdx, bool shared, int name_length, int initial, int writes,
                                 uint32_t seed) {
  const std::string base = dir / "base";
  std::filesystem::create_directories(base);
  tessera::CreateTable(base + "/t.dbf", 0x03,
                       {{"NAME", 'C', name_length, 0}, {"KIND", 'C', 1, 0}, {"OK", 'L', 1, 0}, {"NUM", 'N', 6, 0}});
  std::vector<std::string> files;
  {
    tessera::KTO_dBHandler t(base + "/t.dbf", false, true);
    Writer w(seed, name_length);
    for (int i = 0; i < initial; ++i) {
      w.Fill(t);
      t.AppendRecord();
    }
    for (const Tag& tag : kTags) {
      if (mdx) {
        t.CreateIndexTag("T.MDX", tag.name, tag.expression, tag.for_expr,
                         tag.unique ? tessera::kUniqueKeys : tessera::kDuplicateKeys, tag.ascending ? 0 : 1);
      } else if (InNdx(tag)) {
        t.CreateIndexTag(std::string(tag.name) + ".NDX", "", tag.expression, "",
                         tag.unique ? tessera::kUniqueKeys : tessera::kDuplicateKeys, 0);
        files.push_back(std::string(tag.name) + ".NDX");
      }
    }
  }
  if (mdx) files = {"T.MDX"};
  TagOrders orders;
  for (const char* run : {"on", "off"}) {
    const std::string d = dir / run;
    std::filesystem::create_directories(d);
    for (const auto& e : std::filesystem::directory_iterator(base))
      std::filesystem::copy_file(e.path(), d + "/" + e.path().filename().string());
    std::unique_ptr<InPlaceOff> off;
    if (std::string(run) == "off") off = std::make_unique<InPlaceOff>();
    tessera::KTO_dBHandler t(d + "/t.dbf", shared, true);
    for (const auto& f : files) EXPECT_EQ(t.OpenIndexFile(f), 0) << f;
    t.SelectMasterTag("NAME", false);
    Writer w(seed + 1, name_length);
    const uint64_t in_place = tessera::KTobjIndexTag::InPlaceChangeCount();
    for (int i = 0; i < writes; ++i) {
      if (shared) t.LockTable();
      w.Step(t);
      if (shared) t.UnlockTable();
    }
    t.Flush();
    // Most key changes of the run with them on are made in place.
    const uint64_t made = tessera::KTobjIndexTag::InPlaceChangeCount() - in_place;
    if (std::string(run) == "on") EXPECT_GT(made, static_cast<uint64_t>(writes)) << "changes in place";
    else EXPECT_EQ(made, 0u);
    // The files are checked whole: every tag's order, its keys against
    // the records.
    for (int slot = 1; slot <= static_cast<int>(files.size()); ++slot) {
      const auto faults = mdx ? tessera::CheckMdxFile(*static_cast<tessera::KTobjMDXFile*>(t.IndexFile(slot)))
                              : tessera::CheckNdxFile(*static_cast<tessera::KTobjNDXFile*>(t.IndexFile(slot)));
      for (const auto& f : faults) ADD_FAILURE() << run << ": " << f;
      tessera::KTobjIndexFile* file = t.IndexFile(slot);
      for (size_t i = 0; i < file->TagCount(); ++i) {
        tessera::KTobjIndexTag* tag = file->TagAt(i);
        std::vector<int32_t>& order = orders[run][tag->Name()];
        tag->ResetTree(0);
        for (int32_t r = tag->CurrentKey().Reference; r != 0; r = tag->Navigate(-1)) order.push_back(r);
      }
    }
  }
  const std::string on = FileBytes(dir / "on/t.dbf"), off = FileBytes(dir / "off/t.dbf");
  // The same records (the header's reserved bytes count writes).
  EXPECT_EQ(on.size(), off.size());
  size_t first = 0;
  if (on.size() > 32) first = static_cast<uint8_t>(on[8]) | static_cast<size_t>(static_cast<uint8_t>(on[9])) << 8;
  while (first < on.size() && first < off.size() && on[first] == off[first]) ++first;
  EXPECT_EQ(first, on.size()) << "the tables differ first at byte " << first;
  // A file of one tag takes its blocks in the same order both ways: every
  // change in place writes the bytes the node objects write for it (an
  // MDX file's tags share its blocks, taken in another order).
  return orders;
}

struct Case {
  bool mdx;
  bool shared;
  int name_length;
};

class InPlaceChanges : public ::testing::TestWithParam<Case> {};

TEST_P(InPlaceChanges, RecordWritesLeaveTheNodeObjectsOrder) {
  const Case c = GetParam();
  tessera::EngineScope engine;
  for (uint32_t seed : {11u, 12u}) {
    TempDir dir;
    SCOPED_TRACE("seed " + std::to_string(seed));
    // From a bulk build over some records, and from empty tags.
    TagOrders orders = RunBoth(dir, c.mdx, c.shared, c.name_length, seed == 11 ? 300 : 0, 1200, seed);
    ASSERT_EQ(orders["on"].size(), orders["off"].size());
    for (const auto& [name, order] : orders["off"]) {
      EXPECT_FALSE(order.empty()) << name;
      EXPECT_EQ(orders["on"][name], order) << name;
    }
  }
}

// Appends to one tag, a file each: most keys go in front of a key of a
// leaf with room for them, which is changed where it lies; the others
// split leaves. Either way the file holds the bytes the node objects
// write, storing every change at once (keys of odd length leave bytes of
// each entry past the key, which stay zero).
TEST(InPlaceChangesBytes, AppendsWriteWhatTheNodeObjectsWrite) {
  tessera::EngineScope engine;
  TempDir dir;
  const std::string base = dir / "base";
  std::filesystem::create_directories(base);
  tessera::CreateTable(base + "/t.dbf", 0x03, {{"NAME", 'C', 13, 0}});
  std::mt19937 rng(5);
  const auto name = [&rng] {
    std::string n;
    const int length = static_cast<int>(rng() % 14);
    for (int i = 0; i < length; ++i) n += static_cast<char>('A' + rng() % 6);
    return n;
  };
  {
    tessera::KTO_dBHandler t(base + "/t.dbf", false, true);
    for (int i = 0; i < 600; ++i) {
      t.BlankRecord();
      t.PutText("NAME", name());
      t.AppendRecord();
    }
    t.CreateIndexTag("T.MDX", "NAME", "NAME", "", tessera::kDuplicateKeys, 0);
    t.CreateIndexTag("NAME.NDX", "", "NAME", "", tessera::kDuplicateKeys, 0);
  }
  const uint32_t seed = rng();
  for (const char* run : {"on", "off"}) {
    const std::string d = dir / run;
    std::filesystem::create_directories(d);
    for (const auto& e : std::filesystem::directory_iterator(base))
      std::filesystem::copy_file(e.path(), d + "/" + e.path().filename().string());
    std::unique_ptr<InPlaceOff> off;
    if (std::string(run) == "off") off = std::make_unique<InPlaceOff>();
    tessera::KTO_dBHandler t(d + "/t.dbf", false, true);
    ASSERT_EQ(t.OpenIndexFile("T.MDX"), 0);
    ASSERT_EQ(t.OpenIndexFile("NAME.NDX"), 0);
    rng.seed(seed);
    for (int i = 0; i < 400; ++i) {
      t.BlankRecord();
      t.PutText("NAME", name());
      t.AppendRecord();
    }
    t.Flush();
  }
  for (const char* f : {"T.MDX", "NAME.NDX"})
    EXPECT_TRUE(FileBytes(dir / (std::string("on/") + f)) == FileBytes(dir / (std::string("off/") + f))) << f;
}

INSTANTIATE_TEST_SUITE_P(Formats, InPlaceChanges,
                         ::testing::Values(Case{true, false, 40}, Case{false, false, 40}, Case{true, true, 40},
                                           Case{false, true, 40}, Case{true, false, 200}, Case{false, false, 200}),
                         [](const auto& info) {
                           return std::string(info.param.mdx ? "Mdx" : "Ndx") +
                                  (info.param.shared ? "Shared" : "Exclusive") + std::to_string(info.param.name_length);
                         });

}  // namespace
