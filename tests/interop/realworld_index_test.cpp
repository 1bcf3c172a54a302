// Index files other programs wrote (dBase IV, STEP 7, Visual FoxPro,
// FoxPro 2, Clipper and others; shared/realworld, read where they lie):
// every tag is listed and walked in the order Debian's Perl XBase walks it,
// the check finds the files that agree with their tables sound and names
// the fault of those the folder's README calls stale, and appends, edits
// and deletions through each file leave it sound and in Perl XBase's order.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "platform/path.h"
#include "support/realworld.h"
#include "support/realworld_indexes.h"
#include "support/run_command.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tessera::KTO_dBHandler;
using tessera::KTobjIndexFile;
using tessera::KTobjIndexTag;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

std::string ExtOf(const fs::path& p) { return Upper(p.extension().string()); }

using testing_support::IndexCase;

std::vector<int32_t> OurOrder(KTobjIndexTag& tag, int* nulls = nullptr) {
  std::vector<int32_t> order;
  tag.ResetTree(0);
  for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) {
    order.push_back(r);
    bool null = false;
    tag.KeyValueBytes(tag.CurrentKey(), &null);
    if (null && nulls != nullptr) ++*nulls;
  }
  tag.ReleaseTree();
  return order;
}

// The order Perl XBase walks a tag in. It knows index files by their
// extension (a database container's .DCX is given as a .cdx copy) and
// NTX files only with the signature of one without a FOR condition.
std::vector<int32_t> PerlOrder(const std::string& index, const std::string& tag, char key_type,
                               const std::string& scratch) {
  const std::string ext = ExtOf(index);
  std::string file = index;
  if (ext == ".DCX" || ext == ".NTX") {
    std::ifstream in(index, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (ext == ".NTX" && !bytes.empty()) bytes[0] = 6;
    file = scratch + (ext == ".DCX" ? ".cdx" : ".ntx");
    std::ofstream(file, std::ios::binary) << bytes;
  }
  const bool single = ext == ".NTX" || ext == ".NDX";
  const std::string type = key_type == 'C' ? "char" : "num";
  const std::string out = testing_support::RunChecked("/usr/bin/perl " PYX_INTEROP_DIR "/read_xbase_index.pl '" + file +
                                                      "' " + type + " " + (single ? std::string() : "'" + tag + "'") +
                                                      " 2>&1");
  std::vector<int32_t> order;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line.find_first_not_of("0123456789") != std::string::npos) {
      ADD_FAILURE() << "Perl XBase on " << index << " " << tag << ": " << line;
      break;
    }
    order.push_back(std::stoi(line));
  }
  return order;
}

std::vector<std::string> Check(KTobjIndexFile& file) {
  const std::string ext = ExtOf(file.FileName());
  if (ext == ".NTX") return tessera::CheckNtxFile(static_cast<tessera::KTobjNTXFile&>(file));
  if (ext == ".NDX") return tessera::CheckNdxFile(static_cast<tessera::KTobjNDXFile&>(file));
  if (ext == ".MDX") return tessera::CheckMdxFile(static_cast<tessera::KTobjMDXFile&>(file));
  return tessera::CheckCdxFile(static_cast<tessera::KTobjCDXFile&>(file));
}

// The record count the table's header states (bytes 4 to 7).
int32_t HeaderRecordCount(const std::string& table) {
  std::ifstream in(table, std::ios::binary);
  unsigned char h[8] = {};
  in.read(reinterpret_cast<char*>(h), 8);
  return static_cast<int32_t>(h[4] | h[5] << 8 | h[6] << 16 | static_cast<uint32_t>(h[7]) << 24);
}

class RealWorldIndexes : public ::testing::Test {
 protected:
  void SetUp() override {
    PYX_NEED_REALWORLD();
    cases_ = testing_support::RealWorldIndexes(testing_support::RealWorldDir());
    ASSERT_FALSE(cases_.empty()) << "no index files in " << testing_support::RealWorldDir();
  }

  tessera::EngineScope engine_;
  testing_support::TempDir scratch_;
  std::vector<IndexCase> cases_;
};

TEST_F(RealWorldIndexes, ListedWalkedInPerlXBasesOrderAndChecked) {
  for (const IndexCase& c : cases_) {
    SCOPED_TRACE(c.index);
    ASSERT_FALSE(c.table.empty()) << "no table for the index";
    const std::string table_path = testing_support::RealWorld(c.table);
    KTO_dBHandler table(table_path, true, false);
    ASSERT_EQ(table.OpenIndexFile(testing_support::RealWorld(c.index)), 0);
    KTobjIndexFile& file = *table.IndexFile(1);
    ASSERT_GT(file.TagCount(), 0u);
    for (size_t i = 0; i < file.TagCount(); ++i) {
      KTobjIndexTag& tag = *file.TagAt(i);
      SCOPED_TRACE(tag.Name());
      const auto ours = OurOrder(tag);
      EXPECT_FALSE(ours.empty());
      EXPECT_EQ(PerlOrder(testing_support::RealWorld(c.index), tag.Name(), tag.KeyType(), scratch_ / "perl"), ours);
    }
    const auto faults = Check(file);
    if (!c.stale) {
      for (const auto& f : faults) ADD_FAILURE() << f;
    } else if (table.RecordCount() == HeaderRecordCount(table_path)) {
      EXPECT_FALSE(faults.empty()) << "a stale index passes the check";
    }
  }
}

// The values of the n-th change: every field a key can read gets one of
// its own (texts end in a counter, numbers and dates grow with it), unique
// enough for candidate keys.
void ChangeFields(KTO_dBHandler& t, int n) {
  for (int number = 1; number <= t.FieldCount(); ++number) {
    const tessera::DbfField& f = t.Field(number);
    if ((f.flags & 0x01) != 0 || t.IsMemoField(f)) continue;
    const int width = f.Width();
    switch (f.type) {
      case 'C': {
        const std::string counter = "~" + std::to_string(10 + n);
        std::string v = tessera::TrimRightText(t.GetTextN(number));
        if (width <= static_cast<int>(counter.size())) v = std::string(1, static_cast<char>('A' + n % 26));
        else v = v.substr(0, std::min<size_t>(v.size(), static_cast<size_t>(width) - counter.size())) + counter;
        t.PutTextN(number, v);
        break;
      }
      case 'N':
      case 'F': {
        const int digits = std::min(6, f.length - (f.decimals > 0 ? f.decimals + 1 : 0) - 1);
        double limit = 1;
        for (int d = 0; d < digits; ++d) limit *= 10;
        const double v = digits <= 0 ? n % 10 : static_cast<double>((n * 7919) % static_cast<int>(limit));
        t.PutNumberN(number, n % 3 == 0 && digits > 0 ? -v : v);
        break;
      }
      case 'I': t.PutNumberN(number, 1000000 + n); break;
      case 'D': t.PutDateN(number, 2451545 + n * 13); break;
      case 'L': t.PutLogicalN(number, n % 2 == 0); break;
      case 'T': {
        // Day number and milliseconds, little-endian.
        const int32_t day = 2459000 + n, ms = n * 1000;
        std::string raw(8, '\0');
        for (int b = 0; b < 4; ++b) {
          raw[static_cast<size_t>(b)] = static_cast<char>(day >> (8 * b));
          raw[static_cast<size_t>(b) + 4] = static_cast<char>(ms >> (8 * b));
        }
        t.PutRawN(number, raw);
        break;
      }
      default: break;
    }
  }
}

// Ten appends (copies of existing records with values of their own), ten
// edits (one making a nullable field null, one taking it back), two
// deletions and a recall through each index file; then every check holds and
// Perl XBase walks every tag in the engine's order.
TEST_F(RealWorldIndexes, AppendsEditsAndDeletionsKeepEveryFileSound) {
  int files = 0, maintained = 0, nullable_tables = 0, null_keys = 0;
  for (const IndexCase& c : cases_) {
    if (c.stale) continue;
    SCOPED_TRACE(c.index);
    // The table, its memo file, the index and a database container beside
    // them, copied: the folder is never written.
    const fs::path src = fs::path(testing_support::RealWorld(c.table)).parent_path();
    const std::string stem = Upper(fs::path(c.table).stem().string());
    const fs::path dir = fs::path(scratch_.path()) / std::to_string(files++);
    fs::create_directories(dir);
    for (const auto& e : fs::directory_iterator(src)) {
      const std::string ext = ExtOf(e.path());
      if (Upper(e.path().stem().string()) == stem || ext == ".DBC" || ext == ".DCT" || ext == ".DCX" ||
          e.path().filename() == fs::path(c.index).filename()) {
        fs::copy_file(e.path(), dir / e.path().filename(), fs::copy_options::overwrite_existing);
        // The folder's files carry no write bits; the copies are written.
        fs::permissions(dir / e.path().filename(), fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
      }
    }
    const std::string index = (dir / fs::path(c.index).filename()).string();
    KTO_dBHandler t((dir / fs::path(c.table).filename()).string(), true, true);
    ASSERT_EQ(t.OpenIndexFile(index), 0);
    KTobjIndexFile& file = *t.IndexFile(1);
    // A file with a tag this engine cannot keep current refuses every write
    // (its own test); the others take them.
    bool usable = true;
    for (size_t i = 0; i < file.TagCount(); ++i) usable &= file.TagAt(i)->Unusable().empty();
    if (!usable) continue;
    ++maintained;
    std::vector<int> nullable;
    for (int n = 1; n <= t.FieldCount(); ++n)
      if (t.Field(n).null_bit >= 0) nullable.push_back(n);
    if (!nullable.empty()) ++nullable_tables;
    const int32_t count = t.RecordCount();
    t.LockTable();
    for (int i = 1; i <= 10; ++i) {
      t.GotoRecord(1 + (i - 1) % count);
      const std::string source(t.RecordBytes(), static_cast<size_t>(t.RecordLength()));
      t.BlankRecord();
      for (int n = 1; n <= t.FieldCount(); ++n) {
        const tessera::DbfField& f = t.Field(n);
        if (!t.IsMemoField(f)) t.PutRawN(n, source.substr(f.offset, static_cast<size_t>(f.Width())));
      }
      ChangeFields(t, i);
      ASSERT_NO_THROW(t.AppendRecord()) << "append " << i;
    }
    for (int i = 1; i <= 10; ++i) {
      const int32_t r = 1 + (i * 7) % t.RecordCount();
      t.GotoRecord(r);
      ChangeFields(t, 100 + i);
      if (!nullable.empty() && (i == 3 || i == 4)) t.SetNull(nullable[static_cast<size_t>(i) % nullable.size()], i == 3);
      ASSERT_NO_THROW(t.WriteRecord(r)) << "edit of record " << r;
    }
    for (int32_t r : {2, 5}) {
      t.GotoRecord(r);
      t.MarkDeleted();
    }
    t.GotoRecord(5);
    t.MarkRecalled();
    t.UnlockTable();
    for (const auto& f : Check(file)) ADD_FAILURE() << f;
    struct Walked {
      std::string name;
      char key_type;
      std::vector<int32_t> order;
    };
    std::vector<Walked> walked;
    for (size_t i = 0; i < file.TagCount(); ++i)
      walked.push_back({file.TagAt(i)->Name(), file.TagAt(i)->KeyType(), OurOrder(*file.TagAt(i), &null_keys)});
    t.CloseIndexFiles();  // everything on disk for the other reader
    for (const Walked& w : walked) EXPECT_EQ(PerlOrder(index, w.name, w.key_type, (dir / "perl").string()), w.order) << w.name;
  }
  EXPECT_GT(maintained, 0);
  // A table with nullable fields got a null in a field one of its tags
  // reads, and the tag a null's key.
  if (nullable_tables > 0) {
    EXPECT_GT(null_keys, 0);
  }
}

}  // namespace

namespace {

// A Visual FoxPro tag over a long field name, without the database
// container that gives the name: the tag cannot be computed here. It is
// listed, walked and searched by its stored keys; a write through its file
// is refused, naming the tag and the reason, before anything changes.
TEST_F(RealWorldIndexes, ATagThatCannotBeComputedIsWalkedAndRefusesWrites) {
  const fs::path src = testing_support::RealWorld("rubydbf");
  if (!fs::exists(src / "types.dbf") || !fs::exists(src / "types.CDX")) GTEST_SKIP() << "rubydbf/types is absent";
  for (const char* name : {"types.dbf", "types.CDX"}) {
    fs::copy_file(src / name, fs::path(scratch_.path()) / name);
    fs::permissions(fs::path(scratch_.path()) / name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  }
  const std::string dbf = scratch_ / "types.dbf", cdx = scratch_ / "types.CDX";
  auto bytes = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::string dbf_before = bytes(dbf), cdx_before = bytes(cdx);
  {
    KTO_dBHandler t(dbf, true, true);
    ASSERT_EQ(t.OpenIndexFile(cdx), 0);
    KTobjIndexTag& tag = *t.IndexFile(1)->FindTag("TYPE_ID");
    EXPECT_NE(tag.Unusable().find("contact_type_id"), std::string::npos) << tag.Unusable();
    EXPECT_EQ(OurOrder(tag), (std::vector<int32_t>{1, 2}));
    // Searched by its stored key text (Visual FoxPro's integer 2).
    tessera::KTobjIndexKeyData key;
    key.SetText(std::string("\x80\0\0\x02", 4));
    key.Reference = KTobjIndexTag::kAnyRecord;
    EXPECT_EQ(tag.Seek(key), 2);
    t.GotoRecord(1);
    t.PutTextN(2, "changed");
    try {
      t.WriteRecord(1);
      ADD_FAILURE() << "the write went through";
    } catch (const tessera::ETesseraError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("TYPE_ID"), std::string::npos) << what;
      EXPECT_NE(what.find("contact_type_id cannot be compiled"), std::string::npos) << what;
    }
    t.BlankRecord();
    EXPECT_THROW(t.AppendRecord(), tessera::ETesseraError);
    EXPECT_EQ(t.RecordCount(), 2);
  }
  EXPECT_EQ(bytes(dbf), dbf_before);
  EXPECT_EQ(bytes(cdx), cdx_before);
}

}  // namespace

namespace {

// Visual FoxPro's candidate (primary) keys: a second record with a key the
// tag holds is refused with nothing written; a key of its own, or an edit
// that keeps the record's key, goes through; the check names duplicates.
TEST_F(RealWorldIndexes, CandidateKeysRefuseASecondRecordWithTheirKey) {
  const fs::path src = testing_support::RealWorld("rubydbf");
  if (!fs::exists(src / "calls.dbf") || !fs::exists(src / "calls.CDX")) GTEST_SKIP() << "rubydbf/calls is absent";
  for (const char* name : {"calls.dbf", "calls.CDX"}) {
    fs::copy_file(src / name, fs::path(scratch_.path()) / name);
    fs::permissions(fs::path(scratch_.path()) / name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
  }
  KTO_dBHandler t(scratch_ / "calls.dbf", true, true);
  ASSERT_EQ(t.OpenIndexFile(scratch_ / "calls.CDX"), 0);
  const int32_t count = t.RecordCount();
  t.GotoRecord(1);
  const std::string record(t.RecordBytes(), static_cast<size_t>(t.RecordLength()));
  auto append_with_call_id = [&](double id) {
    t.BlankRecord();
    for (int n = 1; n <= t.FieldCount(); ++n) {
      const tessera::DbfField& f = t.Field(n);
      if (!t.IsMemoField(f)) t.PutRawN(n, record.substr(f.offset, static_cast<size_t>(f.Width())));
    }
    t.PutNumber("CALL_ID", id);
    t.AppendRecord();
  };
  try {
    append_with_call_id(5);
    ADD_FAILURE() << "a second record with CALL_ID 5 was appended";
  } catch (const tessera::ETesseraError& e) {
    EXPECT_NE(std::string(e.what()).find("candidate"), std::string::npos) << e.what();
  }
  EXPECT_EQ(t.RecordCount(), count);
  append_with_call_id(1000);
  EXPECT_EQ(t.RecordCount(), count + 1);
  t.GotoRecord(1);
  t.PutNumber("CALL_ID", 2);
  EXPECT_THROW(t.WriteRecord(1), tessera::ETesseraError);
  t.GotoRecord(1);
  t.PutNumber("CONTACT_ID", 9);
  t.WriteRecord(1);  // CALL_ID stays 1
  for (const auto& f : Check(*t.IndexFile(1))) ADD_FAILURE() << f;
}

}  // namespace
