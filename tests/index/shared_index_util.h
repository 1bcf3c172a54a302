// Helpers for tests that share one callbook and its index between several
// opens (in this process or in others): the four index kinds built over the
// same cards, a check of a file whatever its kind, and appending a card.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/dbf_handler.h"
#include "engine/text_helpers.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/index_repair.h"
#include "index/mdx_check.h"
#include "index/mdx_file.h"
#include "index/ndx_check.h"
#include "index/ndx_file.h"
#include "index/ntx_check.h"
#include "index/ntx_file.h"
#include "platform/codepage.h"
#include "platform/path.h"
#include "tools/pyx_sample/sample_cards.h"

namespace shared_index {

enum class Kind { kCdx, kMdx, kNdx, kNtx };

inline const char* KindName(Kind k) {
  switch (k) {
    case Kind::kCdx: return "CDX";
    case Kind::kMdx: return "MDX";
    case Kind::kNdx: return "NDX";
    case Kind::kNtx: return "NTX";
  }
  return "";
}

// The index file a test of that kind keeps: the compound and multiple
// index carry the callbook's tags (production indexes, named after the
// table), the single-tag files the callsign tag.
inline std::string IndexName(Kind k) {
  switch (k) {
    case Kind::kCdx: return "PYX.CDX";
    case Kind::kMdx: return "PYX.MDX";
    case Kind::kNdx: return "CALL.NDX";
    case Kind::kNtx: return "CALL.NTX";
  }
  return "";
}

// Writes DIR/Pyx.DBF with `cards` cards and builds the index of kind `k`
// beside it (a compound or multiple index with all eleven tags; a
// single-tag file over CALL_).
inline void MakeCallbook(const std::string& dir, Kind k, int cards) {
  pyx_sample::WriteSampleTable(dir, cards, 11, true);
  tessera::KTO_dBHandler t(dir + "/Pyx.DBF", false, true);
  if (k == Kind::kCdx || k == Kind::kMdx) {
    for (const auto& tag : pyx_sample::kCallbookTags)
      t.CreateIndexTag(IndexName(k), tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  } else {
    t.CreateIndexTag(IndexName(k), "", "CALL_", "", tessera::kDuplicateKeys, 0);
  }
}

// The faults the format's own check finds in the index file (tree
// structure, order, one key per record).
inline std::vector<std::string> CheckIndex(const std::string& dbf, Kind k) {
  tessera::KTO_dBHandler table(dbf, true, false);
  const std::string full = plat::DirectoryOf(table.GivenName()) + IndexName(k);
  auto file = tessera::MakeIndexFile(&table, full, false, true, false);
  if (!file->Opened()) return {"index " + full + " cannot be opened"};
  switch (k) {
    case Kind::kCdx: return tessera::CheckCdxFile(*static_cast<tessera::KTobjCDXFile*>(file.get()));
    case Kind::kMdx: return tessera::CheckMdxFile(*static_cast<tessera::KTobjMDXFile*>(file.get()));
    case Kind::kNdx: return tessera::CheckNdxFile(*static_cast<tessera::KTobjNDXFile*>(file.get()));
    case Kind::kNtx: return tessera::CheckNtxFile(*static_cast<tessera::KTobjNTXFile*>(file.get()));
  }
  return {};
}

// Appends a card whose callsign is `call` (the other fields from the
// sample generator); answers its record number.
inline int32_t AppendCard(tessera::KTO_dBHandler& table, const std::string& call, int seed = 1) {
  pyx_sample::CardGenerator cards(static_cast<uint64_t>(seed));
  const pyx_sample::Card card = cards.Make(0, 1);
  table.BlankRecord();
  for (int f = 0; f < pyx_sample::kFieldCount; ++f)
    table.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
  table.PutText("CALL_", call);
  table.AppendRecord();
  return table.CurrentRecord();
}

// Whether an exact search for `call` in the master tag lands on `record`.
inline bool Finds(tessera::KTO_dBHandler& table, const std::string& call, int32_t record) {
  table.ExactKeyOnly = true;
  table.StayNearest = false;
  const bool found = table.SeekKeyText(call);
  return found && table.CurrentRecord() == record;
}

}  // namespace shared_index
