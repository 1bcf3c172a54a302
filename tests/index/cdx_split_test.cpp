// Record writes into compound-index tags of long keys, where nearly every
// insert splits a leaf and often the interior nodes above it up to the
// root: 100-byte character keys leave four entries to an interior node, so
// a few hundred keys make a tree of four or five levels. The record writes
// split the stored nodes in place; the file must be the one the node
// objects (the tag's InsertKey) make from the same keys, the keys must be
// the model's in order, and the structural check must hold, for ascending
// and descending tags, for keys that go in front, in the middle and at the
// end, from an empty tag and from a bulk-built one whose nodes are full,
// past the record number that widens the leaf packing, with other writers
// in between, and with every write of a multi-level split failing in turn;
// and keys of 240 bytes, whose interior nodes hold two entries, which must
// stay a shallow tree when keys come in falling order.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <utility>
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

namespace {

using tessera::KTO_dBHandler;
using tessera::KTobjCDXFile;
using testing_support::FileBytes;
using testing_support::TempDir;

constexpr int kNameLength = 100;

struct TagSpec {
  const char* name;
  const char* expression;
  bool ascending;
};
// Two tags over the long name (one descending) and one over a number, so
// that a write changes tags of different shapes at once.
const std::vector<TagSpec> kTags = {{"NAME", "NAME", true}, {"NAMED", "NAME", false}, {"NUM", "NUM", true}};

struct Card {
  std::string name;
  int num = 0;
};

void CreateLongTable(const std::string& dbf, int name_length = kNameLength) {
  tessera::CreateTable(dbf, 0x03, {{"NAME", 'C', name_length, 0}, {"NUM", 'N', 8, 0}});
}

void Store(KTO_dBHandler& t, const Card& c) {
  t.PutText("NAME", c.name);
  t.PutNumber("NUM", c.num);
}

// `count` names of `length` characters (up to the key length) that share
// no long prefixes, in ascending order.
std::vector<std::string> SortedNames(int count, uint32_t seed, int max_length = kNameLength) {
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) {
    const int length = 40 + static_cast<int>(rng() % (max_length - 40 + 1));
    std::string n;
    for (int k = 0; k < length; ++k) n += static_cast<char>('A' + rng() % 26);
    out.push_back(n);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The orders a run of keys arrives in.
std::vector<Card> Arrange(const std::vector<std::string>& sorted, const std::string& order, uint32_t seed) {
  std::vector<std::string> names = sorted;
  std::mt19937 rng(seed);
  if (order == "front") {
    std::reverse(names.begin(), names.end());
  } else if (order == "middle") {
    // From the middle outwards, alternately just below and just above
    // what is there.
    std::vector<std::string> out;
    const size_t mid = names.size() / 2;
    for (size_t i = 0; i < names.size(); ++i) {
      const size_t at = i % 2 == 0 ? mid - 1 - i / 2 : mid + i / 2;
      if (at < names.size()) out.push_back(names[at]);
    }
    names = out;
  } else if (order == "random") {
    std::shuffle(names.begin(), names.end(), rng);
  } else if (order == "duplicates") {
    // Few distinct names, many records each.
    for (auto& n : names) n = sorted[rng() % 7];
  }
  std::vector<Card> cards;
  for (const auto& n : names) cards.push_back({n, static_cast<int>(rng() % 100000) - 50000});
  return cards;
}

// The CDX file without the directory header's change count and
// write-in-progress mark (bytes 8..23): what record writes count there
// and a tag's own inserts do not.
std::string Structure(const std::string& cdx) {
  std::string b = FileBytes(cdx);
  if (b.size() >= 24) std::fill(b.begin() + 8, b.begin() + 24, '\0');
  return b;
}

void ExpectClean(const std::string& dbf, const std::string& cdx, const std::string& what) {
  KTO_dBHandler t(dbf, true, false);
  KTobjCDXFile f(&t, cdx, false, false, true, false);
  ASSERT_TRUE(f.Opened()) << what;
  for (const auto& fault : tessera::CheckCdxFile(f)) ADD_FAILURE() << what << ": " << fault;
}

// The tags' keys, top to bottom, against the cards: each tag in its
// order, equal keys by record.
void ExpectModelOrder(KTO_dBHandler& t, const std::vector<Card>& cards, const std::string& what) {
  for (const auto& spec : kTags) {
    // Keys are stored ascending, equal keys by record; a descending tag
    // is that order backwards.
    std::vector<int32_t> want(cards.size());
    for (size_t i = 0; i < cards.size(); ++i) want[i] = static_cast<int32_t>(i + 1);
    const bool by_name = std::string(spec.expression) == "NAME";
    std::stable_sort(want.begin(), want.end(), [&](int32_t a, int32_t b) {
      const Card& x = cards[static_cast<size_t>(a - 1)];
      const Card& y = cards[static_cast<size_t>(b - 1)];
      return by_name ? x.name < y.name : x.num < y.num;
    });
    if (!spec.ascending) std::reverse(want.begin(), want.end());
    // A move of the table's own learns of other writers' changes (the tag
    // alone does not look).
    t.SelectMasterTag(spec.name, false);
    t.GotoRecord(1);
    std::vector<int32_t> got;
    for (const auto& [r, key] : testing_support::AllKeys(*t.FindTag(spec.name))) got.push_back(r);
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    ASSERT_EQ(got, want) << what << ", tag " << spec.name << ": " << got.size() << " keys, " << want.size()
                         << " in the model, first difference at " << at;
  }
}

class CdxSplitTest : public ::testing::Test {
 protected:
  // A table and its index with `start` cards bulk-built, copied to a/ and
  // b/.
  void Prepare(const std::vector<Card>& start) {
    for (const char* sub : {"a", "b"}) std::filesystem::create_directories(dir_ / sub);
    CreateLongTable(dir_ / "a/t.dbf", name_length_);
    {
      KTO_dBHandler t(dir_ / "a/t.dbf", false, true);
      for (const Card& c : start) {
        t.BlankRecord();
        Store(t, c);
        t.AppendRecord();
      }
      for (const auto& spec : kTags)
        t.CreateIndexTag("t.cdx", spec.name, spec.expression, "", tessera::kDuplicateKeys, spec.ascending ? 0 : 1);
    }
    for (const char* f : {"t.dbf", "t.cdx"}) std::filesystem::copy_file(dir_ / ("a/" + std::string(f)), dir_ / ("b/" + std::string(f)));
  }

  // Appends `cards` through the record writes (a/) and through the tags'
  // own inserts (b/), and expects the same file, the model's order and a
  // clean check.
  void AppendBothWays(const std::vector<Card>& start, const std::vector<Card>& cards, const std::string& what,
                      bool shared = false) {
    Prepare(start);
    {
      KTO_dBHandler t(dir_ / "a/t.dbf", shared, true);
      ASSERT_EQ(t.OpenIndexFile("t.cdx"), 0);
      for (const Card& c : cards) {
        t.BlankRecord();
        Store(t, c);
        t.AppendRecord();
      }
    }
    {
      KTO_dBHandler t(dir_ / "b/t.dbf", false, true);
      KTobjCDXFile f(&t, dir_ / "b/t.cdx", false, false, false, true);
      ASSERT_TRUE(f.Opened());
      tessera::KTobjIndexKeyData key(256);
      for (const Card& c : cards) {
        t.BlankRecord();
        Store(t, c);
        t.AppendRecord();
        for (const auto& spec : kTags) {
          tessera::KTobjIndexTag& tag = *f.FindTag(spec.name);
          ASSERT_TRUE(tag.EvalKey(key, nullptr));
          key.Reference = key.RecordNumber = t.RecordCount();
          ASSERT_TRUE(tag.InsertKey(key));
        }
      }
    }
    const std::string a = Structure(dir_ / "a/t.cdx"), b = Structure(dir_ / "b/t.cdx");
    EXPECT_EQ(a.size(), b.size()) << what;
    if (a != b) {
      size_t at = 0;
      while (at < std::min(a.size(), b.size()) && a[at] == b[at]) ++at;
      ADD_FAILURE() << what << ": the files differ first in block " << at / 512 << " (byte " << at % 512 << ")";
    }
    ExpectClean(dir_ / "a/t.dbf", dir_ / "a/t.cdx", what);
    std::vector<Card> all = start;
    all.insert(all.end(), cards.begin(), cards.end());
    KTO_dBHandler t(dir_ / "a/t.dbf", true, false);
    ASSERT_EQ(t.OpenIndexFile("t.cdx"), 0);
    ExpectModelOrder(t, all, what);
  }

  tessera::EngineScope engine_;
  TempDir dir_;
  int name_length_ = kNameLength;
};

TEST_F(CdxSplitTest, AppendsIntoAnEmptyTagSplitEveryLevelAsTheNodeObjectsDo) {
  // 1 100 records: past 1 023, where the leaf entries of 100-byte keys
  // need a fourth byte for the record number.
  const auto names = SortedNames(1100, 7);
  for (const std::string order : {"end", "front", "middle", "random", "duplicates"}) {
    SCOPED_TRACE(order);
    AppendBothWays({}, Arrange(names, order, 11), order);
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directories(dir_.path());
  }
}

TEST_F(CdxSplitTest, KeysOfTheGreatestLengthSplitLeavesInTwoAndInteriorNodesOfTwoEntries) {
  // 240-byte keys: an interior node holds two entries, so every level
  // splits often; a leaf that takes a long key beside long ones can need
  // two parts split off before the rest fits.
  name_length_ = 240;
  const auto names = SortedNames(400, 61, 240);
  for (const std::string order : {"end", "front", "random"}) {
    SCOPED_TRACE(order);
    AppendBothWays({}, Arrange(names, order, 13), "longest " + order);
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directories(dir_.path());
  }
  // The bulk build takes keys of that length too.
  std::vector<Card> start;
  for (const auto& n : SortedNames(60, 62, 240)) start.push_back({n, 3});
  AppendBothWays(start, Arrange(names, "random", 14), "longest, bulk-built");
}

// Levels from the root of tag `name` down its first children to a leaf.
int TreeDepth(const std::string& dbf, const std::string& cdx, const std::string& name, int key_length) {
  KTO_dBHandler t(dbf, true, false);
  KTobjCDXFile f(&t, cdx, false, false, true, false);
  const std::string b = FileBytes(cdx);
  size_t node = static_cast<size_t>(f.FindTag(name)->ReadRootOffset());
  int depth = 1;
  while ((testing_support::Le16(b, node) & 2) == 0 && depth < 100) {
    node = testing_support::Be32(b, node + 12 + static_cast<size_t>(key_length) + 4);
    ++depth;
  }
  return depth;
}

TEST_F(CdxSplitTest, KeysInFallingOrderKeepATreeOfTwoEntryNodesShallow) {
  // Every key in front of the others, into interior nodes of two entries:
  // the tree grows a level only as the key count doubles, in place as
  // through the node objects.
  name_length_ = 240;
  const auto names = SortedNames(500, 71, 240);
  AppendBothWays({}, Arrange(names, "front", 1), "falling");
  const int depth = TreeDepth(dir_ / "a/t.dbf", dir_ / "a/t.cdx", "NAME", 240);
  EXPECT_LE(depth, 12);
  EXPECT_GE(depth, 8);
}

TEST_F(CdxSplitTest, AppendsIntoFullBulkBuiltNodesSplitUpToTheRoot) {
  // The bulk build fills every node: the first inserts split a leaf, its
  // parent and so on up to the root.
  const auto start = SortedNames(600, 21);
  const auto more = SortedNames(300, 22);
  for (const std::string order : {"end", "front", "middle", "random"}) {
    SCOPED_TRACE(order);
    std::vector<Card> base;
    for (const auto& n : start) base.push_back({n, static_cast<int>(n[0]) * 7});
    AppendBothWays(base, Arrange(more, order, 5), "bulk " + order);
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directories(dir_.path());
  }
}

TEST_F(CdxSplitTest, SharedWritersSeeEachOthersSplits) {
  const auto names = SortedNames(500, 31);
  auto cards = Arrange(names, "random", 3);
  std::filesystem::create_directories(dir_ / "a");
  CreateLongTable(dir_ / "a/t.dbf");
  {
    KTO_dBHandler t(dir_ / "a/t.dbf", false, true);
    for (const auto& spec : kTags)
      t.CreateIndexTag("t.cdx", spec.name, spec.expression, "", tessera::kDuplicateKeys, spec.ascending ? 0 : 1);
  }
  // Two writers take turns; each one's stored paths go stale with the
  // other's splits, and each must notice.
  KTO_dBHandler one(dir_ / "a/t.dbf", true, true), two(dir_ / "a/t.dbf", true, true);
  ASSERT_EQ(one.OpenIndexFile("t.cdx"), 0);
  ASSERT_EQ(two.OpenIndexFile("t.cdx"), 0);
  std::mt19937 rng(9);
  std::vector<Card> held;
  for (size_t i = 0; i < cards.size(); ++i) {
    KTO_dBHandler& t = rng() % 2 == 0 ? one : two;
    if (held.empty() || rng() % 4 != 0) {
      t.BlankRecord();
      Store(t, cards[i]);
      t.AppendRecord();
      held.push_back(cards[i]);
    } else {
      // A changed name: out of one leaf, into another.
      const int32_t r = static_cast<int32_t>(1 + rng() % held.size());
      t.GotoRecord(r);
      held[static_cast<size_t>(r - 1)].name = cards[i].name;
      Store(t, held[static_cast<size_t>(r - 1)]);
      t.WriteRecord(r);
    }
    if (i % 100 == 99) {
      SCOPED_TRACE("after " + std::to_string(i + 1));
      ExpectModelOrder(one, held, "one");
      ExpectModelOrder(two, held, "two");
    }
  }
  one.Flush();
  two.Flush();
  ExpectModelOrder(one, held, "one, at the end");
  ExpectClean(dir_ / "a/t.dbf", dir_ / "a/t.cdx", "shared");
}

// Short keys: a leaf holds dozens, so most inserts go into a leaf without
// splitting it, and runs of appends land in one leaf after another (the
// same few names, each after its equals; names that are the start of
// others, and the blank name, whose keys share all or none of their bytes
// with the key before). A writer goes on from the leaf its last insert
// left as it wrote it: the file must still be the node objects' to the
// byte, alone and shared, and with edits taking keys out of those leaves
// in between.
TEST_F(CdxSplitTest, RunsOfInsertsIntoOneLeafMatchTheNodeObjects) {
  name_length_ = 12;
  const std::vector<std::string> names = {"", "AB", "ABC", "ABCD", "ABCDEFGHIJKL", "B", "BA", "ZZZZZZ"};
  std::mt19937 rng(23);
  std::vector<Card> start, cards;
  for (int i = 0; i < 400; ++i) start.push_back({names[rng() % names.size()], static_cast<int>(rng() % 50)});
  std::sort(start.begin(), start.end(), [](const Card& a, const Card& b) { return a.name < b.name; });
  // Runs of one name (each run goes after its equals: into one leaf),
  // then single names anywhere.
  for (int run = 0; run < 30; ++run) {
    const std::string& n = names[rng() % names.size()];
    for (int i = 0; i < 12; ++i) cards.push_back({n, static_cast<int>(rng() % 50)});
  }
  // Runs of new names in falling order, each in front of the one before
  // (the keys after it in the leaf move down), and in rising order, each
  // right after it.
  for (int run = 0; run < 6; ++run) {
    for (char c = 'Z'; c >= 'M'; --c)
      cards.push_back({std::string("AB") + static_cast<char>('C' + run) + c, 100 - c});
    for (char c = 'A'; c <= 'L'; ++c)
      cards.push_back({std::string("B") + static_cast<char>('A' + run) + c + "X", c - 100});
  }
  for (int i = 0; i < 200; ++i) cards.push_back({names[rng() % names.size()], static_cast<int>(rng() % 50)});
  for (const bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared" : "exclusive");
    AppendBothWays(start, cards, shared ? "runs, shared" : "runs", shared);
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directories(dir_.path());
  }
  // Edits in between: a key taken out of the leaf the last append went to,
  // then appends into it again; checked against the model.
  Prepare(start);
  std::vector<Card> held = start;
  {
    KTO_dBHandler t(dir_ / "a/t.dbf", true, true);
    ASSERT_EQ(t.OpenIndexFile("t.cdx"), 0);
    for (size_t i = 0; i < cards.size(); ++i) {
      t.BlankRecord();
      Store(t, cards[i]);
      t.AppendRecord();
      held.push_back(cards[i]);
      if (i % 3 == 2) {
        const int32_t r = static_cast<int32_t>(held.size() - 1 - rng() % 4);
        t.GotoRecord(r);
        held[static_cast<size_t>(r - 1)].name = names[rng() % names.size()];
        held[static_cast<size_t>(r - 1)].num = static_cast<int>(rng() % 50);
        Store(t, held[static_cast<size_t>(r - 1)]);
        t.WriteRecord(r);
      }
    }
    ExpectModelOrder(t, held, "edits");
  }
  ExpectClean(dir_ / "a/t.dbf", dir_ / "a/t.cdx", "runs with edits");
}

TEST_F(CdxSplitTest, EditsMoveLongKeysBetweenSplitNodes) {
  // Appends and key changes mixed, checked against the model as they go.
  const auto names = SortedNames(2000, 41);
  std::mt19937 rng(17);
  std::filesystem::create_directories(dir_ / "a");
  CreateLongTable(dir_ / "a/t.dbf");
  {
    KTO_dBHandler t(dir_ / "a/t.dbf", false, true);
    for (const auto& spec : kTags)
      t.CreateIndexTag("t.cdx", spec.name, spec.expression, "", tessera::kDuplicateKeys, spec.ascending ? 0 : 1);
  }
  std::vector<Card> held;
  {
    KTO_dBHandler t(dir_ / "a/t.dbf", false, true);
    ASSERT_EQ(t.OpenIndexFile("t.cdx"), 0);
    for (int op = 0; op < 1500; ++op) {
      const Card c{names[rng() % names.size()], static_cast<int>(rng() % 1000)};
      if (held.empty() || rng() % 3 != 0) {
        t.BlankRecord();
        Store(t, c);
        t.AppendRecord();
        held.push_back(c);
      } else {
        const int32_t r = static_cast<int32_t>(1 + rng() % held.size());
        t.GotoRecord(r);
        held[static_cast<size_t>(r - 1)] = c;
        Store(t, c);
        t.WriteRecord(r);
      }
      if (op % 500 == 499) {
        SCOPED_TRACE("after " + std::to_string(op + 1));
        ExpectModelOrder(t, held, "edits");
      }
    }
  }
  ExpectClean(dir_ / "a/t.dbf", dir_ / "a/t.cdx", "edits");
}

// Every write call of an append that splits a leaf and the interior nodes
// above it fails in turn: the table and the index are as they were (or
// the index says it needs a rebuild, when even the undo could not write).
TEST_F(CdxSplitTest, FailedWriteOfAMultiLevelSplitChangesNothing) {
  const auto start = SortedNames(400, 51);
  std::vector<Card> base;
  for (const auto& n : start) base.push_back({n, 1});
  Prepare(base);
  const std::string master = dir_ / "a";
  // Before every key, and sharing no more than a letter or two with the
  // first: the first leaf splits, and its parents up to the root.
  const Card front{std::string(kNameLength, 'A'), 0};
  int64_t calls = 0;
  int64_t grown = 0;
  {
    TempDir d;
    for (const char* f : {"t.dbf", "t.cdx"}) std::filesystem::copy_file(master + "/" + f, d / f);
    const auto before = std::filesystem::file_size(d / "t.cdx");
    KTO_dBHandler t(d / "t.dbf", true, true);
    ASSERT_EQ(t.OpenIndexFile("t.cdx"), 0);
    t.BlankRecord();
    Store(t, front);
    plat::ResetWriteCount();
    t.AppendRecord();
    calls = plat::WriteCallCount();
    t.Flush();
    grown = static_cast<int64_t>(std::filesystem::file_size(d / "t.cdx") - before) / 512;
  }
  // A leaf and at least two interior levels split in each name tag.
  EXPECT_GE(grown, 6);
  for (plat::WriteFault kind : {plat::WriteFault::kOnce, plat::WriteFault::kDiskFull, plat::WriteFault::kBroken}) {
    for (int64_t at = 0; at < calls; ++at) {
      SCOPED_TRACE("kind " + std::to_string(static_cast<int>(kind)) + " call " + std::to_string(at));
      TempDir d;
      for (const char* f : {"t.dbf", "t.cdx"}) std::filesystem::copy_file(master + "/" + f, d / f);
      const std::string dbf_before = FileBytes(d / "t.dbf");
      bool failed = false;
      {
        KTO_dBHandler t(d / "t.dbf", true, true);
        ASSERT_EQ(t.OpenIndexFile("t.cdx"), 0);
        t.BlankRecord();
        Store(t, front);
        plat::ArmWriteFault(kind, at, 29);
        try {
          t.AppendRecord();
        } catch (const tessera::ETesseraError&) {
          failed = true;
        }
        plat::DisarmWriteFault();
      }
      KTO_dBHandler t(d / "t.dbf", true, false);
      KTobjCDXFile f(&t, d / "t.cdx", false, false, true, false);
      ASSERT_TRUE(f.Opened());
      if (kind == plat::WriteFault::kBroken && f.NeedsRebuild()) continue;
      EXPECT_FALSE(f.NeedsRebuild());
      for (const auto& fault : tessera::CheckCdxFile(f)) ADD_FAILURE() << fault;
      if (failed) {
        EXPECT_EQ(t.RecordCount(), static_cast<int32_t>(base.size()));
        if (kind != plat::WriteFault::kBroken) {
          EXPECT_EQ(FileBytes(d / "t.dbf"), dbf_before);
        }
      } else {
        EXPECT_EQ(t.RecordCount(), static_cast<int32_t>(base.size() + 1));
      }
    }
  }
}

}  // namespace
