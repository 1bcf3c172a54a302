#include "index/index_repair.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "engine/byte_order.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/text_helpers.h"
#include "index/cdx_file.h"
#include "index/mdx_file.h"
#include "index/ndx_file.h"
#include "index/ntx_file.h"
#include "platform/codepage.h"
#include "platform/last_error.h"
#include "platform/path.h"

namespace tessera {
namespace {

using namespace index_bytes;

// The keys of a compound-index tag, from the key counts of its leaves (node
// bytes 2..3): down the leftmost path (an interior entry is the key bytes,
// then the record number and the child offset, both big-endian), then
// along the right-sibling links (bytes 8..11, -1 at the end of the level).
// Answers -1 with `fault` set when the tree cannot be walked.
int64_t CountCdxLeafKeys(KTobjCDXFile& file, KTobjCDXTag& tag, std::string& fault) {
  const int64_t size = file.RefreshSize();
  const auto inside = [size](int64_t offset) { return offset > 0 && offset % 512 == 0 && offset + 512 <= size; };
  uint8_t node[512];
  if (!file.ReadBlock(tag.HeaderOffset(), node, 4)) {
    fault = "its header cannot be read";
    return -1;
  }
  int32_t offset = Get32(node);
  for (int depth = 0;; ++depth) {
    if (depth > 64 || !inside(offset) || !file.ReadBlock(offset, node, 512)) {
      fault = "node " + std::to_string(offset) + " on its leftmost path cannot be read";
      return -1;
    }
    if ((Get16(node) & 2) != 0) break;
    if (Get16(node + 2) == 0 || 12 + tag.KeyLength() + 8 > 512) {
      fault = "interior node " + std::to_string(offset) + " holds no keys";
      return -1;
    }
    offset = GetBE32(node + 12 + tag.KeyLength() + 4);
  }
  // The leaves are read from the file in windows of kWindow bytes, past
  // the block cache: a built tag's leaves lie one after another, so one
  // read serves hundreds of them, and a check of every tag of a large file
  // neither makes a system call per leaf nor fills the cache with leaves
  // no search asked for. Blocks this object holds unwritten are newer than
  // the file: then every leaf is read through ReadBlock.
  constexpr int64_t kWindow = 256 * 1024;
  std::vector<uint8_t> window;
  int64_t window_start = 0, window_size = 0;
  const auto read_leaf = [&](int64_t at) -> const uint8_t* {
    if (file.HoldsBlocks()) return file.ReadBlock(static_cast<int32_t>(at), node, 512) ? node : nullptr;
    if (at < window_start || at + 512 > window_start + window_size) {
      window.resize(static_cast<size_t>(kWindow));
      const int64_t n = std::min(kWindow, size - at);
      if (!file.ReadDirect(static_cast<int32_t>(at), window.data(), static_cast<int32_t>(n))) return nullptr;
      window_start = at;
      window_size = n;
    }
    return window.data() + (at - window_start);
  };
  int64_t keys = 0;
  const int64_t max_nodes = size / 512;
  for (int64_t nodes = 0; offset != -1; ++nodes) {
    const uint8_t* leaf = nodes > max_nodes || !inside(offset) ? nullptr : read_leaf(offset);
    if (leaf == nullptr || (Get16(leaf) & 2) == 0) {
      fault = "the chain of its leaves is broken at node " + std::to_string(offset);
      return -1;
    }
    keys += Get16(leaf + 2);
    offset = Get32(leaf + 8);
  }
  return keys;
}

// Any other kind: the keys counted by walking the tag in key order.
int64_t CountKeysInOrder(KTobjIndexTag& tag, std::string& fault) {
  int64_t keys = 0;
  try {
    tag.ResetTree(0);
    for (int32_t r = tag.CurrentKey().Reference; r != 0; r = tag.Navigate(-1)) ++keys;
    tag.ReleaseTree();
  } catch (const ETesseraError& e) {
    fault = std::string("it cannot be walked (") + e.what() + ")";
    return -1;
  }
  return keys;
}

std::string KindOf(const std::string& full_name) { return plat::UpperName(ExtensionOf(full_name)); }

// Reports through the engine's error handler, then raises (a handler may
// return).
[[noreturn]] void Fail(int32_t code, const std::string& info) {
  ReportEngineError(code, kNoSubCode, info);
  throw ETesseraError(ComposeEngineError(code, kNoSubCode, info));
}

}  // namespace

std::unique_ptr<KTobjIndexFile> MakeIndexFile(KTO_dBHandler* table, const std::string& full_name, bool create,
                                              bool shared, bool writable) {
  const std::string kind = KindOf(full_name);
  std::unique_ptr<KTobjIndexFile> file;
  if (kind == ".MDX") file = std::make_unique<KTobjMDXFile>(table, full_name, false, create, shared, writable);
  else if (kind == ".NTX") file = std::make_unique<KTobjNTXFile>(table, full_name, create, create, shared, writable);
  else if (kind == ".NDX") file = std::make_unique<KTobjNDXFile>(table, full_name, create, create, shared, writable);
  else file = std::make_unique<KTobjCDXFile>(table, full_name, false, create, shared, writable);
  // Locked where the table's other users lock it.
  if (table != nullptr) {
    file->SetLockProtocol(table->LockProtocolFor(*file));
    file->SetLockWait(table->LockWait());
  }
  return file;
}

std::vector<std::string> QuickCheckIndexFile(KTO_dBHandler& table, KTobjIndexFile& file) {
  std::vector<std::string> faults;
  if (!file.Opened()) {
    faults.push_back("index file " + file.FullName() + ": its tag directory cannot be read");
    return faults;
  }
  file.LockIndexFile();
  struct Unlock {
    KTobjIndexFile& f;
    ~Unlock() { f.UnlockIndexFile(); }
  } unlock{file};
  if (table.IsShared()) table.RefreshHeader();
  file.ChangedByOther();
  if (file.ReadPendingMark())
    faults.push_back("index file " + file.FullName() +
                     ": a write through it did not finish (the writer was stopped); it needs a rebuild");
  const int64_t records = table.RecordCount();
  auto* cdx = dynamic_cast<KTobjCDXFile*>(&file);
  for (size_t i = 0; i < file.TagCount(); ++i) {
    KTobjIndexTag& tag = *file.TagAt(i);
    if (tag.Unique() || !tag.ForExpression().empty()) continue;
    std::string fault;
    const int64_t keys = cdx != nullptr ? CountCdxLeafKeys(*cdx, static_cast<KTobjCDXTag&>(tag), fault)
                                        : CountKeysInOrder(tag, fault);
    if (keys < 0)
      faults.push_back("tag " + tag.Name() + ": " + fault);
    else if (keys != records)
      faults.push_back("tag " + tag.Name() + ": " + std::to_string(keys) + " keys for " + std::to_string(records) +
                       " records");
  }
  return faults;
}

size_t ReindexIndexFile(KTO_dBHandler& table, const std::string& name) {
  std::string full = DefaultExtension(TrimText(name), ".CDX");
  if (full.find('/') == std::string::npos) full = plat::DirectoryOf(table.FileName()) + full;
  full = plat::FullPath(full);
  const std::string upper = plat::UpperName(full);
  auto file = MakeIndexFile(&table, full, false, table.IsShared(), true);
  if (file->Disk() == nullptr || file->Disk()->IsClosed()) Fail(plat::kErrFileNotFound, upper);
  if (!file->Opened())
    Fail(kCodeIndexHeader, upper + ": its tag directory or a tag header is damaged, so the tag definitions are lost; "
                             "the tags must be created anew");
  const size_t count = file->TagCount();
  // A tag whose keys cannot be computed here would be rebuilt empty; one in
  // a key form of Visual FoxPro would be rebuilt in this engine's form,
  // which its writer would no longer read as its own. Either is refused,
  // before anything changes.
  for (size_t i = 0; i < count; ++i) {
    const KTobjIndexTag& t = *file->TagAt(i);
    if (!t.Unusable().empty()) Fail(kCodeIndexHeader, upper + ": tag " + t.Name() + " cannot be rebuilt: " + t.Unusable());
    const auto* cdx_tag = dynamic_cast<const KTobjCDXTag*>(&t);
    if (cdx_tag != nullptr && cdx_tag->ForeignKeyForm())
      Fail(kCodeIndexHeader, upper + ": tag " + t.Name() +
                                 " holds keys in Visual FoxPro's form, which this engine keeps current but does not build");
  }
  // Rebuilt in place under the file's rebuild lock, which keeps every
  // other program out meanwhile (or the rebuild is refused with words):
  // whoever has the file open goes on with it and finds the new trees.
  // The records are counted afresh under it: no writer is half-way.
  file->LockForRebuild();
  struct Unlock {
    KTobjIndexFile& f;
    ~Unlock() { f.UnlockIndexFile(); }
  } unlock{*file};
  if (table.IsShared()) table.RefreshHeader();
  file->Reindex();
  return count;
}

}  // namespace tessera
