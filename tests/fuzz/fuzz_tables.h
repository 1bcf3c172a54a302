// The small tables and index files the harnesses read, built by the engine
// itself. The harnesses build the table in their scratch folder at start;
// fuzz_seeds builds the same table and writes the index, memo and table
// files the engine makes on it as seed corpora, so that a seed's record
// numbers, key lengths and memo blocks match what the harness reads.
// Everything here is deterministic: the same calls make the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/dbf_create.h"
#include "engine/dbf_handler.h"

namespace fuzz_tables {

// The typed table under the index harnesses: the field names and widths of
// the NTX fixture's table (so that its index files compile here too), 60
// records with repeated, blank and odd names, a few marked deleted: enough
// for interior pages in every format, few enough that a check of every
// key against its record stays cheap.
constexpr int kIndexRecords = 60;

inline void MakeIndexTable(const std::string& path) {
  tessera::CreateTable(path, 0x03,
                       {{"ID", 'N', 7, 0}, {"NAME", 'C', 20, 0}, {"CODE", 'C', 6, 0}, {"AMOUNT", 'N', 12, 2},
                        {"QTY", 'N', 5, 0}, {"BORN", 'D', 0, 0}, {"ACTIVE", 'L', 0, 0}},
                       {0, true});
  tessera::KTO_dBHandler t(path, false, true);
  uint32_t x = 12345;
  auto next = [&x] {
    x = x * 1103515245u + 12345u;
    return (x >> 8) & 0xFFFF;
  };
  for (int i = 1; i <= kIndexRecords; ++i) {
    t.BlankRecord();
    t.PutNumber("ID", i);
    std::string name;
    if (i % 17 == 0) {
      name = "";  // blank keys
    } else if (i % 11 == 0) {
      name = "SMITH";  // duplicates
    } else {
      const int n = 1 + static_cast<int>(next() % 19);
      for (int k = 0; k < n; ++k) name += static_cast<char>('A' + next() % 26);
      if (i % 7 == 0) name = " " + name.substr(0, 18) + "\x9a";
    }
    t.PutText("NAME", name);
    t.PutText("CODE", std::string(1, static_cast<char>('A' + i % 40 % 26)) + std::to_string(i % 40));
    t.PutNumber("AMOUNT", (static_cast<double>(next()) - 30000.0) / 7.0);
    t.PutNumber("QTY", static_cast<double>(i % 5 == 0 ? 0 : next() % 300));
    if (i % 13 != 0) {
      const int year = 1900 + static_cast<int>(next() % 130), month = 1 + static_cast<int>(next() % 12),
                day = 1 + static_cast<int>(next() % 28);
      char raw[16];
      std::snprintf(raw, sizeof raw, "%04d%02d%02d", year, month, day);
      t.PutRaw("BORN", raw);
    }
    t.PutRaw("ACTIVE", i % 3 == 0 ? "F" : "T");
    if (i % 23 == 0) t.MarkDeleted();
    t.AppendRecord();
  }
}

// One tag the seed writer builds.
struct TagSpec {
  const char* tag;
  const char* key;
  const char* condition;
  bool unique;
  bool descending;
};

// The tags of the index seeds: every key type, a compound key, unique,
// descending and FOR tags. Single-tag formats get one file per tag (NDX
// without the descending and FOR ones, which it cannot store); multiple
// index formats get them all in one file.
inline const std::vector<TagSpec>& SeedTags() {
  static const std::vector<TagSpec> tags = {
      {"NAME", "NAME", "", false, false},
      {"AMOUNT", "AMOUNT", "", false, false},
      {"BORN", "BORN", "", false, false},
      {"CODEUNIQ", "CODE", "", true, false},
      {"NAMEDESC", "NAME", "", false, true},
      {"NAMEFOR", "NAME", "ACTIVE .AND. (QTY > 0)", false, false},
      {"MIXED", "UPPER(CODE) + DTOS(BORN) + STR(QTY, 5)", "", false, false},
  };
  return tags;
}

// The tags of fuzz_write's multiple index files: one of each key type, a
// descending, a FOR and a unique tag, few enough for fast writes.
inline const std::vector<TagSpec>& WriteTags() {
  static const std::vector<TagSpec> tags = {
      {"NAMEDESC", "NAME", "", false, true},
      {"AMOUNT", "AMOUNT", "", false, false},
      {"BORN", "BORN", "ACTIVE", false, false},
      {"CODEUNIQ", "CODE", "", true, false},
  };
  return tags;
}

// The memo table under the memo harnesses: a table of the given kind
// whose memos the engine wrote (empty, short, one block exactly, spanning
// blocks, long), then records whose memo field holds block numbers
// straight (beyond any file, zero, huge).
inline bool IsVisualFoxPro(uint8_t version) { return version == 0x30 || version == 0x31 || version == 0x32; }

// A table whose records point at memos of every size and at assorted
// blocks. Visual FoxPro (0x32) keeps its memo pointers in 4 binary bytes
// and has a blob field (W) beside the memo.
inline void MakeMemoTable(const std::string& path, uint8_t version) {
  const bool fox = IsVisualFoxPro(version);
  std::vector<tessera::FieldSpec> fields = {{"NAME", 'C', 8, 0}, {"NOTE", 'M', 0, 0}};
  if (version == 0x32) fields.push_back({"BLOB", 'W', 0, 0, true});
  tessera::CreateTable(path, version, fields, {0, true});
  tessera::KTO_dBHandler t(path, false, true);
  int n = 0;
  for (int size : {0, 1, 10, 502, 510, 511, 512, 600, 1500, 4000}) {
    std::string text(static_cast<size_t>(size), ' ');
    for (int i = 0; i < size; ++i) text[static_cast<size_t>(i)] = static_cast<char>('a' + (i + size) % 26);
    if (size > 20) text[7] = '\x1a';  // an end mark inside the text
    t.BlankRecord();
    t.PutTextN(1, "W" + std::to_string(n++));
    int32_t len = size;
    if (size > 0) t.MemoWrite(2, text.data(), &len);
    len = size;
    if (size > 0 && version == 0x32) t.MemoWrite(3, text.data(), &len);
    t.AppendRecord();
  }
  for (int block : {2, 5, 13, 40, 1000, 70000, 2147483}) {
    t.BlankRecord();
    t.PutTextN(1, "R" + std::to_string(block));
    const std::string b = std::to_string(block);
    if (fox) {
      t.PutNumberN(2, block);
      if (version == 0x32) t.PutNumberN(3, block + 1);
    } else {
      t.PutRawN(2, std::string(10 - b.size(), ' ') + b);
    }
    t.AppendRecord();
  }
}

inline const char* MemoExtension(uint8_t version) {
  return version == 0xF5 || IsVisualFoxPro(version) ? ".FPT" : ".DBT";
}

}  // namespace fuzz_tables
