// fuzz_seeds DIR: writes the seed corpora of the harnesses into DIR/<target>/,
// every file made by the engine itself: tables of each version, the memo
// files of the memo harnesses' table, index files of every format over the
// index harnesses' table, damage seeds for fuzz_write and the key and FOR
// expressions for fuzz_expr. The tables are built as the harnesses build
// theirs (fuzz_tables.h), so that the seeds match what the harnesses read.
// For fuzz_wsjtx it writes WSJT-X datagrams field by field.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "fuzz_tables.h"
#include "index/index_tag.h"
#include "support/realworld_indexes.h"

namespace fs = std::filesystem;

namespace {

void Copy(const fs::path& from, const fs::path& to) { fs::copy_file(from, to, fs::copy_options::overwrite_existing); }

void PutText(const fs::path& to, const std::string& bytes) {
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << bytes;
}

int Key(const fuzz_tables::TagSpec& s) { return s.unique ? tessera::kUniqueKeys : tessera::kDuplicateKeys; }

// Index files of one format over the index table: one file per tag for the
// single-tag formats, for the multiple formats one file with every tag and
// files with one tag each.
void IndexSeeds(const fs::path& work, const fs::path& out, const std::string& ext) {
  fs::create_directories(out);
  const bool multiple = ext == ".CDX" || ext == ".MDX";
  for (const auto& s : fuzz_tables::SeedTags()) {
    if (ext == ".NDX" && (s.descending || s.condition[0] != '\0')) continue;
    fs::remove_all(work);
    fs::create_directories(work);
    const std::string dbf = work / "I.DBF";
    fuzz_tables::MakeIndexTable(dbf);
    tessera::KTO_dBHandler t(dbf, false, true);
    const std::string index = work / (std::string("I") + ext);
    t.CreateIndexTag(index, multiple ? s.tag : "", s.key, s.condition, Key(s), s.descending ? 1 : 0);
    Copy(index, out / (std::string(s.tag) + ext));
  }
  if (!multiple) return;
  fs::remove_all(work);
  fs::create_directories(work);
  const std::string dbf = work / "I.DBF";
  fuzz_tables::MakeIndexTable(dbf);
  tessera::KTO_dBHandler t(dbf, false, true);
  const std::string index = work / (std::string("I") + ext);
  for (const auto& s : fuzz_tables::SeedTags())
    t.CreateIndexTag(index, s.tag, s.key, s.condition, Key(s), s.descending ? 1 : 0);
  Copy(index, out / ("ALL" + ext));
}

// Tables for fuzz_dbf: the index table, the memo tables and a Visual
// FoxPro table with its binary types, a few records each.
void TableSeeds(const fs::path& work, const fs::path& out) {
  fs::create_directories(out);
  fs::remove_all(work);
  fs::create_directories(work);
  fuzz_tables::MakeIndexTable(work / "I.DBF");
  Copy(work / "I.DBF", out / "TYPED.DBF");
  for (uint8_t v : {0x83, 0x8B, 0xF5}) {
    const fs::path p = work / ("M" + std::to_string(v) + ".DBF");
    fuzz_tables::MakeMemoTable(p, v);
    Copy(p, out / p.filename());
  }
  const fs::path vfp = work / "VFP.DBF";
  tessera::CreateTable(vfp.string(), 0x30,
                       {{"NAME", 'C', 12, 0}, {"N", 'N', 8, 3}, {"F", 'F', 10, 2}, {"I", 'I', 0, 0}, {"B", 'B', 0, 2},
                        {"Y", 'Y', 0, 0}, {"T", 'T', 0, 0}, {"D", 'D', 0, 0}, {"L", 'L', 0, 0}, {"M", 'M', 0, 0}},
                       {0, true});
  {
    tessera::KTO_dBHandler t(vfp.string(), false, true);
    const char* values[][9] = {
        {"ALPHA", "1.5", "-2.25", "7", "3.14", "12.3456", "20240131123456", "20240131", "T"},
        {"", "0", "0", "-2147483648", "-1e300", "-922337203685477", "", "", "F"},
        {"OMEGA", "99999.999", "1e9", "2147483647", "1e-300", "922337203685477", "19000101000000", "99991231", "?"},
    };
    for (auto& row : values) {
      t.BlankRecord();
      for (int f = 0; f < 9; ++f) {
        try {
          t.PutTextN(f + 1, row[f]);
        } catch (const tessera::ETesseraError&) {
        }
      }
      const std::string memo = std::string("memo of ") + row[0];
      int32_t size = static_cast<int32_t>(memo.size());
      t.MemoWrite(10, memo.data(), &size);
      t.AppendRecord();
    }
  }
  Copy(vfp, out / "VFP.DBF");

  // Visual FoxPro's autoincrement, nullable, varchar and varbinary fields
  // (0x31, 0x32), a few records each.
  const fs::path auto_table = work / "V31.DBF";
  tessera::CreateTable(auto_table.string(), 0x31,
                       {{"ID", 'I', 0, 0, false, true}, {"NAME", 'C', 8, 0, true}, {"PRICE", 'Y', 0, 0, true}});
  const fs::path var_table = work / "V32.DBF";
  tessera::CreateTable(var_table.string(), 0x32,
                       {{"V", 'V', 10, 0, true}, {"Q", 'Q', 6}, {"N", 'N', 6, 2, true}, {"AI", 'I', 0, 0, false, true}});
  for (const fs::path& p : {auto_table, var_table}) {
    {
      tessera::KTO_dBHandler t(p.string(), false, true);
      for (const char* value : {"abc", "", "0123456789"}) {
        t.BlankRecord();
        if (*value != '\0') t.PutTextN(2, value);
        t.AppendRecord();
      }
    }
    Copy(p, out / p.filename());
  }
}

void MemoSeeds(const fs::path& work, const fs::path& out, uint8_t version) {
  fs::create_directories(out);
  fs::remove_all(work);
  fs::create_directories(work);
  const fs::path dbf = work / "M.DBF";
  fuzz_tables::MakeMemoTable(dbf, version);
  Copy(work / (std::string("M") + fuzz_tables::MemoExtension(version)),
       out / (std::string("M") + fuzz_tables::MemoExtension(version)));
}

void WriteSeeds(const fs::path& out) {
  fs::create_directories(out);
  // Byte 0: the index format, byte 1: the written name; then patches of
  // (3-byte offset, length, bytes): none, the header, the first node.
  for (int kind = 0; kind < 4; ++kind) {
    const std::string base{static_cast<char>(kind), static_cast<char>('C' + kind)};
    PutText(out / ("none" + std::to_string(kind)), base);
    PutText(out / ("head" + std::to_string(kind)), base + std::string("\x04\x00\x00\x04\x00\x10\x00\x00", 8));
    PutText(out / ("node" + std::to_string(kind)), base + std::string("\x00\x04\x00\x03\xff\xff\x00", 7));
  }
}

// The key and FOR expressions of the callbook fixture's tags (fuzz_expr
// compiles against that table), as the engine reads them from the index.
void ExprSeeds(const fs::path& work, const fs::path& out) {
  fs::create_directories(out);
  fs::remove_all(work);
  fs::create_directories(work);
  Copy(fs::path(PYX_FIXTURES) / "callbook/Pyx.DBF", work / "Pyx.DBF");
  Copy(fs::path(PYX_FIXTURES) / "callbook/PYX.CDX", work / "PYX.CDX");
  tessera::KTO_dBHandler t((work / "Pyx.DBF").string(), true, false);
  t.OpenIndexFile((work / "PYX.CDX").string());
  for (int n = 1; t.TagByNumber(n) != nullptr; ++n) {
    const tessera::KTobjIndexTag* tag = t.TagByNumber(n);
    PutText(out / ("key" + std::to_string(n)), tag->KeyExpression());
    if (!tag->ForExpression().empty()) PutText(out / ("for" + std::to_string(n)), tag->ForExpression());
  }
}

// A WSJT-X datagram written field by field: quint32 and quint64 fields
// big-endian, texts as a quint32 length and their bytes.
class WsjtxDatagram {
 public:
  WsjtxDatagram(uint32_t schema, uint32_t type, const std::string& id) {
    U32(0xADBCCBDA).U32(schema).U32(type).Text(id);
  }
  WsjtxDatagram& U8(uint8_t v) {
    bytes_ += static_cast<char>(v);
    return *this;
  }
  WsjtxDatagram& U32(uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) U8(static_cast<uint8_t>(v >> shift));
    return *this;
  }
  WsjtxDatagram& U64(uint64_t v) { return U32(static_cast<uint32_t>(v >> 32)).U32(static_cast<uint32_t>(v)); }
  WsjtxDatagram& Text(const std::string& t) {
    U32(static_cast<uint32_t>(t.size()));
    bytes_ += t;
    return *this;
  }
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// One datagram of each kind a listener reads, in both schemas.
void WsjtxSeeds(const fs::path& out) {
  fs::create_directories(out);
  for (uint32_t schema : {2u, 3u}) {
    const std::string n = std::to_string(schema);
    PutText(out / ("heartbeat" + n), WsjtxDatagram(schema, 0, "WSJT-X").U32(3).Text("2.6.1").Text("").Bytes());
    WsjtxDatagram status(schema, 1, "WSJT-X");
    status.U64(14074000).Text("FT8").Text("DL1ABC").Text("-12").Text("FT8").U8(1).U8(0).U8(1).U32(1500).U32(1200);
    status.Text("UA3ABC").Text("KO85").Text("JO62").U8(0).Text("").U8(0).U8(0).U32(0xFFFFFFFF).U32(15);
    status.Text("Default").Text("DL1ABC UA3ABC KO85");
    PutText(out / ("status" + n), status.Bytes());
    WsjtxDatagram logged(schema, 5, "JTDX");
    logged.U64(2460432).U32(45296789).U8(1).Text("UA9ABC").Text("MO06").U64(14075500).Text("FT8").Text("-10");
    logged.Text("-15").Text("100").Text("").Text("Ivan").U64(2460432).U32(45180000).U8(2).U32(10800);
    logged.Text("").Text("UA3ABC").Text("KO85").Text("").Text("").Text("");
    PutText(out / ("logged" + n), logged.Bytes());
    PutText(out / ("close" + n), WsjtxDatagram(schema, 6, "WSJT-X").Bytes());
    PutText(out / ("clear" + n), WsjtxDatagram(schema, 3, "WSJT-X").U8(2).Bytes());
  }
}

// Files other programs wrote (the folder of real-world files, when there
// is one): their index files as seeds of the index harnesses, and each
// with its table as a seed of fuzz_foreign (format byte, the table's
// length, the table, the index).
void RealWorldSeeds(const fs::path& folder, const fs::path& dir) {
  if (!fs::is_regular_file(folder / "README.md")) return;
  fs::create_directories(dir / "fuzz_foreign");
  int n = 0;
  for (const auto& c : testing_support::RealWorldIndexes(folder.string())) {
    std::string ext = fs::path(c.index).extension().string();
    for (char& ch : ext) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const char* const kinds[] = {".CDX", ".MDX", ".NDX", ".NTX"};
    int format = ext == ".DCX" ? 0 : -1;
    for (int k = 0; k < 4; ++k)
      if (ext == kinds[k]) format = k;
    if (format < 0) continue;
    const char* const targets[] = {"fuzz_cdx", "fuzz_mdx", "fuzz_ndx", "fuzz_ntx"};
    fs::create_directories(dir / targets[format]);
    Copy(folder / c.index, dir / targets[format] / ("rw" + std::to_string(n) + kinds[format]));
    if (!c.table.empty()) {
      std::ifstream t(folder / c.table, std::ios::binary), i(folder / c.index, std::ios::binary);
      const std::string table((std::istreambuf_iterator<char>(t)), std::istreambuf_iterator<char>());
      const std::string index((std::istreambuf_iterator<char>(i)), std::istreambuf_iterator<char>());
      std::string seed(1, static_cast<char>(format));
      for (int b = 0; b < 4; ++b) seed += static_cast<char>(table.size() >> (8 * b));
      PutText(dir / "fuzz_foreign" / ("rw" + std::to_string(n)), seed + table + index);
    }
    ++n;
  }
}

// The engine's own Visual FoxPro table (as fuzz_dbf's seed) with a
// compound index over its fields, for fuzz_foreign without real-world
// files.
void ForeignSeeds(const fs::path& work, const fs::path& out) {
  fs::create_directories(out);
  const fs::path table = out.parent_path() / "fuzz_dbf" / "VFP.DBF";
  if (!fs::exists(table)) return;
  fs::remove_all(work);
  fs::create_directories(work);
  Copy(table, work / "V.DBF");
  {
    tessera::KTO_dBHandler t((work / "V.DBF").string(), false, true);
    for (const char* key : {"NAME", "I", "D", "UPPER(NAME) + DTOS(D)"})
      t.CreateIndexTag((work / "V.CDX").string(), std::string("T") + std::to_string(std::strlen(key)), key, "L",
                       tessera::kDuplicateKeys, 0);
  }
  std::ifstream t(work / "V.DBF", std::ios::binary), i(work / "V.CDX", std::ios::binary);
  const std::string tb((std::istreambuf_iterator<char>(t)), std::istreambuf_iterator<char>());
  const std::string ib((std::istreambuf_iterator<char>(i)), std::istreambuf_iterator<char>());
  std::string seed(1, '\0');
  for (int b = 0; b < 4; ++b) seed += static_cast<char>(tb.size() >> (8 * b));
  PutText(out / "vfp", seed + tb + ib);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::cerr << "usage: fuzz_seeds DIR [REALWORLD]\n";
    return 2;
  }
  const fs::path dir = argv[1];
  const fs::path work = dir / ".work";
  try {
    tessera::EngineScope engine;
    IndexSeeds(work, dir / "fuzz_ntx", ".NTX");
    IndexSeeds(work, dir / "fuzz_ndx", ".NDX");
    IndexSeeds(work, dir / "fuzz_mdx", ".MDX");
    IndexSeeds(work, dir / "fuzz_cdx", ".CDX");
    TableSeeds(work, dir / "fuzz_dbf");
    MemoSeeds(work, dir / "fuzz_memo_dbt3", 0x83);
    MemoSeeds(work, dir / "fuzz_memo_dbt4", 0x8B);
    MemoSeeds(work, dir / "fuzz_memo_fpt", 0xF5);
    MemoSeeds(work, dir / "fuzz_memo_vfp", 0x32);
    WriteSeeds(dir / "fuzz_write");
    ExprSeeds(work, dir / "fuzz_expr");
    WsjtxSeeds(dir / "fuzz_wsjtx");
    ForeignSeeds(work, dir / "fuzz_foreign");
    if (argc == 3) RealWorldSeeds(argv[2], dir);
  } catch (const std::exception& e) {
    std::cerr << "fuzz_seeds: " << e.what() << "\n";
    return 1;
  }
  fs::remove_all(work);
  return 0;
}
