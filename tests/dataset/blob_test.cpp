// The blob stream over memo fields of the three memo layouts (dBase III
// DBT, dBase IV DBT, FoxPro FPT): values read whole from the fixtures,
// Cyrillic memos shown in the window code page and stored back
// byte-identical, and the stream's own rules (reads never beyond the value,
// writes that cut the value at the position, no write before its start).
#include "dataset/ts_blob_stream.h"
#include "dataset_test_util.h"
#include "dbkit/db_error.h"
#include "engine/dbf_create.h"
#include "support/sha256.h"

namespace dataset_test {
namespace {

using dbkit::BlobStreamMode;
using dbkit::SeekOrigin;

class BlobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CopyFixture("memo-dbt", dir_.path());
    CopyFixture("memo-fpt", dir_.path());
  }
  void OpenTable(const std::string& name, bool translate = true) {
    ds_.SetDatabaseName(dir_.path());
    ds_.SetTableName(name);
    ds_.SetTranslateASCII(translate);
    ds_.Open();
  }
  // The memo of a record as the engine reads it (OEM bytes).
  std::string StoredMemo(const std::string& table, int32_t recno, const std::string& field) {
    tessera::KTO_dBHandler t(dir_ / table, true, false);
    t.GotoRecord(recno);
    return t.MemoText(t.FieldNumber(field));
  }
  std::string ReadAll(dbkit::Field* f) {
    auto s = ds_.CreateBlobStream(f, BlobStreamMode::kRead);
    std::string out;
    char chunk[333];
    for (int64_t n; (n = s->Read(chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<size_t>(n));
    return out;
  }

  TempDir dir_;
  tessera::EngineScope engine_;
  tessera::TTesseraDataSet ds_;
};

TEST_F(BlobTest, FixtureMemosReadWhole) {
  for (const auto& [table, fixture] : {std::pair<std::string, std::string>{"MEMO.DBF", "memo-dbt"},
                                       {"FPT64.DBF", "memo-fpt"}, {"FPT512.DBF", "memo-fpt"},
                                       {"FPTFLEX.DBF", "memo-fpt"}}) {
    SCOPED_TRACE(table);
    std::vector<testing_support::ExpectedTable> expected = testing_support::ReadExpected(fixture);
    const testing_support::ExpectedTable* block = nullptr;
    for (const auto& t : expected)
      if (t.items.at("table") == table) block = &t;
    ASSERT_NE(block, nullptr);
    ds_.SetUseDeleted(true);
    OpenTable(table, false);
    dbkit::Field* notes = ds_.FieldByName("NOTES");
    EXPECT_EQ(notes->DataType(), dbkit::FieldType::kMemo);
    int checked = 0;
    for (const auto& rec : block->records) {
      ds_.SetRecNo(rec.recno);
      // "length:block:sha256:first bytes:last bytes"
      const std::string& v = rec.values[2];
      const size_t c1 = v.find(':'), c2 = v.find(':', c1 + 1), c3 = v.find(':', c2 + 1);
      const size_t length = std::stoul(v.substr(0, c1));
      const std::string sha = v.substr(c2 + 1, c3 - c2 - 1);
      const std::string got = ReadAll(notes);
      EXPECT_EQ(got.size(), length) << rec.recno;
      EXPECT_EQ(testing_support::Sha256Hex(got), sha) << rec.recno;
      EXPECT_EQ(notes->IsNull(), length == 0 && std::stoul(v.substr(c1 + 1, c2 - c1 - 1)) == 0) << rec.recno;
      ++checked;
    }
    EXPECT_GT(checked, 50);
    ds_.Close();
  }
}

TEST_F(BlobTest, CyrillicMemoIsShownInTheWindowCodePageAndStoredBackIdentical) {
  OpenTable("MEMO.DBF");
  dbkit::Field* notes = ds_.FieldByName("NOTES");
  EXPECT_TRUE(notes->Transliterate());
  // Record 3 holds CP866 words.
  ds_.SetRecNo(3);
  const std::string oem = StoredMemo("MEMO.DBF", 3, "NOTES");
  ASSERT_EQ(oem.size(), 509u);
  ASSERT_NE(oem.find('\xE2'), std::string::npos);  // "т" in CP866
  const std::string shown = notes->AsString();
  EXPECT_EQ(shown, plat::OemToAnsi(oem));
  ds_.Edit();
  notes->SetAsString(shown);
  ds_.Post();
  EXPECT_EQ(StoredMemo("MEMO.DBF", 3, "NOTES"), oem);
  // A new Cyrillic memo lands in CP866.
  ds_.Edit();
  notes->SetAsString(Ansi("Привет, мир"));
  ds_.Post();
  EXPECT_EQ(StoredMemo("MEMO.DBF", 3, "NOTES"), plat::Utf8ToOem("Привет, мир"));
  EXPECT_EQ(notes->AsString(), Ansi("Привет, мир"));
}

TEST_F(BlobTest, ReadsStopAtTheEndOfTheValue) {
  OpenTable("FPT64.DBF");
  ds_.SetRecNo(2);  // a one-byte memo
  EXPECT_EQ(ReadAll(ds_.FieldByName("NOTES")).size(), 1u);
  ds_.Edit();
  ds_.FieldByName("NOTES")->SetAsString("0123456789");
  ds_.Post();
  auto s = ds_.CreateBlobStream(ds_.FieldByName("NOTES"), BlobStreamMode::kRead);
  char buf[100] = {};
  EXPECT_EQ(s->Read(buf, 100), 10);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  EXPECT_EQ(s->Read(buf, 100), 0);
  EXPECT_EQ(s->Size(), 10);
  // Positions outside the value read nothing.
  EXPECT_EQ(s->Seek(-5, SeekOrigin::kBegin), -5);
  EXPECT_EQ(s->Read(buf, 100), 0);
  EXPECT_EQ(s->Seek(20, SeekOrigin::kBegin), 20);
  EXPECT_EQ(s->Read(buf, 100), 0);
  EXPECT_EQ(s->Seek(-3, SeekOrigin::kEnd), 7);
  EXPECT_EQ(s->Read(buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "78");
  EXPECT_EQ(s->Seek(0, SeekOrigin::kCurrent), 9);
  // A memo that is empty reads nothing.
  ds_.SetRecNo(1);
  auto e = ds_.CreateBlobStream(ds_.FieldByName("NOTES"), BlobStreamMode::kRead);
  EXPECT_EQ(e->Read(buf, 100), 0);
}

TEST_F(BlobTest, WritesCutTheValueAtThePosition) {
  OpenTable("FPT512.DBF");
  dbkit::Field* notes = ds_.FieldByName("NOTES");
  ds_.SetRecNo(5);
  ds_.Edit();
  notes->SetAsString("0123456789");
  {
    auto s = ds_.CreateBlobStream(notes, BlobStreamMode::kReadWrite);
    s->Seek(2, SeekOrigin::kBegin);
    EXPECT_EQ(s->Write("abc", 3), 3);
    EXPECT_EQ(s->Size(), 5);
    s->Close();
  }
  EXPECT_EQ(notes->AsString(), "01abc");
  {
    // Beyond the end: the gap is blank.
    auto s = ds_.CreateBlobStream(notes, BlobStreamMode::kReadWrite);
    s->Seek(3, SeekOrigin::kEnd);
    s->Write("Z", 1);
    s->Close();
  }
  EXPECT_EQ(notes->AsString(), "01abc   Z");
  {
    // Before the start: refused, nothing changes.
    auto s = ds_.CreateBlobStream(notes, BlobStreamMode::kReadWrite);
    s->Seek(-4, SeekOrigin::kCurrent);
    try {
      s->Write("bad", 3);
      FAIL();
    } catch (const dbkit::DatabaseError& e) {
      EXPECT_STREQ(e.what(), "Cannot write before the start of field 'NOTES'");
    }
    s->Close();
  }
  EXPECT_EQ(notes->AsString(), "01abc   Z");
  ds_.Post();
  EXPECT_EQ(StoredMemo("FPT512.DBF", 5, "NOTES"), "01abc   Z");
  // A write-mode stream closed without writing stores an empty memo.
  ds_.Edit();
  ds_.CreateBlobStream(notes, BlobStreamMode::kWrite)->Close();
  ds_.Post();
  EXPECT_TRUE(notes->IsNull());
  EXPECT_EQ(StoredMemo("FPT512.DBF", 5, "NOTES"), "");
}

TEST_F(BlobTest, WritingNeedsAnEditAndAWritableField) {
  OpenTable("MEMO.DBF");
  dbkit::Field* notes = ds_.FieldByName("NOTES");
  ds_.SetRecNo(4);
  try {
    ds_.CreateBlobStream(notes, BlobStreamMode::kWrite);
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Dataset not in edit or insert mode");
  }
  notes->SetReadOnly(true);
  ds_.Edit();
  try {
    ds_.CreateBlobStream(notes, BlobStreamMode::kReadWrite);
    FAIL();
  } catch (const dbkit::DatabaseError& e) {
    EXPECT_STREQ(e.what(), "Field 'NOTES' cannot be modified");
  }
  // A written stream whose edit was given up stores nothing.
  notes->SetReadOnly(false);
  // A stream dropped without Close (a write failed half-way) stores
  // nothing.
  {
    auto dropped = ds_.CreateBlobStream(notes, BlobStreamMode::kWrite);
    dropped->Write("part", 4);
  }
  EXPECT_EQ(notes->AsString().size(), 510u);
  auto s = ds_.CreateBlobStream(notes, BlobStreamMode::kWrite);
  s->Write("lost", 4);
  ds_.Cancel();
  s->Close();
  EXPECT_EQ(StoredMemo("MEMO.DBF", 4, "NOTES").size(), 510u);
}

TEST_F(BlobTest, DBaseFourMemosAndBinaryFields) {
  tessera::CreateTable(dir_ / "D4.DBF", 0x8B, {{"NAME", 'C', 10, 0}, {"NOTES", 'M', 10, 0}, {"PIC", 'B', 10, 0}});
  OpenTable("D4.DBF");
  EXPECT_EQ(ds_.FieldByName("PIC")->DataType(), dbkit::FieldType::kBlob);
  EXPECT_FALSE(ds_.FieldByName("PIC")->Transliterate());
  std::string binary;
  for (int i = 0; i < 700; ++i) binary += static_cast<char>(i % 256);
  const std::string text(3000, 'x');
  ds_.Append();
  ds_.FieldByName("NAME")->SetAsString("one");
  ds_.FieldByName("NOTES")->SetAsString(text + Ansi("ж"));
  ds_.FieldByName("PIC")->SetAsString(binary);
  ds_.Post();
  ds_.Append();
  ds_.FieldByName("NOTES")->SetAsString("second");
  ds_.Post();
  ds_.Close();
  EXPECT_EQ(StoredMemo("D4.DBF", 1, "NOTES"), text + plat::Utf8ToOem("ж"));
  EXPECT_EQ(StoredMemo("D4.DBF", 1, "PIC"), binary);
  ds_.Open();
  EXPECT_EQ(ds_.FieldByName("NOTES")->AsString(), text + Ansi("ж"));
  EXPECT_EQ(ds_.FieldByName("PIC")->AsString(), binary);
  ds_.Next();
  EXPECT_EQ(ds_.FieldByName("NOTES")->AsString(), "second");
  EXPECT_TRUE(ds_.FieldByName("PIC")->IsNull());
}

}  // namespace
}  // namespace dataset_test
