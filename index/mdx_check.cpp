#include "index/mdx_check.h"

#include <map>
#include <set>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/key_check.h"
#include "index/mdx_file.h"

namespace tessera {
namespace {

struct Walk {
  KTobjMDXTag& tag;
  std::vector<std::string>& faults;
  std::set<int32_t> seen;
  std::vector<std::unique_ptr<KTobjIndexKeyData>> leaf_keys;
  int leaf_depth = -1;

  void Fault(const std::string& what) { AddCheckFault(faults, tag, what); }

  // Walks the subtree at page; its greatest key goes to `last`.
  bool Node(int32_t page, int depth, KTobjIndexKeyData* last) {
    if (!EnterCheckedNode(seen, page, depth, "node " + std::to_string(page), [this](const std::string& what) { Fault(what); })) return false;
    std::unique_ptr<KTobjIndexKey> node;
    try {
      node = std::make_unique<KTobjIndexKey>(&tag, nullptr, page);
    } catch (const ETesseraError&) {
      Fault("node " + std::to_string(page) + " cannot be read (damaged)");
      return false;
    }
    // Interior nodes: the last entry is the rightmost child and has no key.
    const int32_t keyed = node->IsLeaf() ? node->Size() : node->Size() - 1;
    for (int32_t i = 1; i < keyed; ++i)
      if (tag.CompareKeys(*node->Entry(i - 1), *node->Entry(i), -1) > 0)
        Fault("keys out of order in node " + std::to_string(page));
    if (node->IsLeaf()) {
      if (leaf_depth < 0) leaf_depth = depth;
      else if (leaf_depth != depth) Fault("leaf " + std::to_string(page) + " at another depth than the others");
      if (node->Size() == 0 && depth > 0) Fault("empty leaf " + std::to_string(page) + " below the root");
      for (int32_t i = 0; i < node->Size(); ++i) leaf_keys.push_back(node->Entry(i)->Clone());
      if (node->Size() > 0 && last != nullptr) last->CopyFrom(*node->Entry(node->Size() - 1));
      return node->Size() > 0;
    }
    bool any = false;
    for (int32_t i = 0; i < node->Size(); ++i) {
      const KTobjIndexKeyData& e = *node->Entry(i);
      KTobjIndexKeyData child_last;
      if (!Node(e.Reference, depth + 1, &child_last)) continue;
      any = true;
      if (i == node->Size() - 1) {
        if (last != nullptr) last->CopyFrom(child_last);
      } else if (child_last.kind() != e.kind() || child_last.bytes() != e.bytes()) {
        Fault("separator of child " + std::to_string(e.Reference) + " in node " + std::to_string(page) +
              " is not the child's last key");
      }
    }
    return any;
  }
};

}  // namespace

std::vector<std::string> CheckMdxTag(KTobjMDXFile& file, KTobjMDXTag& tag) {
  std::vector<std::string> faults;
  Walk walk{tag, faults, {}, {}, -1};
  int32_t root = 0;
  try {
    root = tag.ReadRootOffset();
  } catch (const ETesseraError&) {
    walk.Fault("root page is not a block of the file");
    return faults;
  }
  walk.Node(root, 0, nullptr);
  for (size_t i = 1; i < walk.leaf_keys.size(); ++i) {
    const int c = tag.CompareKeys(*walk.leaf_keys[i - 1], *walk.leaf_keys[i], -1);
    if (c > 0) {
      walk.Fault("keys out of order at position " + std::to_string(i + 1));
      break;
    }
    if (c == 0 && tag.Unique())
      walk.Fault("unique tag holds a key twice (records " + std::to_string(walk.leaf_keys[i - 1]->Reference) + ", " +
                 std::to_string(walk.leaf_keys[i]->Reference) + ")");
  }

  // The keys the records give.
  KTO_dBHandler* table = file.Table();
  if (table == nullptr) return faults;
  if (!tag.Unusable().empty()) {
    walk.Fault("keys not compared with the records: " + tag.Unusable());
    return faults;
  }
  std::map<int32_t, const KTobjIndexKeyData*> indexed;
  for (const auto& key : walk.leaf_keys) {
    const int32_t recno = key->Reference;
    if (recno < 1 || recno > table->RecordCount())
      walk.Fault("key for record " + std::to_string(recno) + " beyond the table");
    else if (!indexed.emplace(recno, key.get()).second)
      walk.Fault("record " + std::to_string(recno) + " has two keys");
  }
  const int32_t saved = table->CurrentRecord();
  for (int32_t r = 1; r <= table->RecordCount(); ++r) {
    table->GotoRecord(r);
    bool wanted = true;
    KTobjIndexKeyData key(256);
    try {
      if (tag.HasFor()) wanted = tag.EvalFor();
      if (!tag.EvalKey(key, nullptr)) {
        walk.Fault("the key expression gives no value for record " + std::to_string(r));
        break;
      }
      tag.NormalizeKey(key, true);
    } catch (const std::exception& e) {
      walk.Fault(std::string("expressions cannot be evaluated: ") + e.what());
      break;
    }
    auto it = indexed.find(r);
    if (it == indexed.end()) {
      // A unique tag keeps one record per value, which one depends on the
      // table's history: not checked.
      if (wanted && !tag.Unique()) walk.Fault("record " + std::to_string(r) + " has no key");
      continue;
    }
    if (!wanted) walk.Fault("record " + std::to_string(r) + " has a key but fails the FOR condition");
    else if (it->second->kind() != key.kind() || it->second->bytes() != key.bytes())
      walk.Fault("key of record " + std::to_string(r) + " does not match the record");
  }
  if (saved >= 1 && saved <= table->RecordCount()) table->GotoRecord(saved);
  return faults;
}

std::vector<std::string> CheckMdxFile(KTobjMDXFile& file) {
  std::vector<std::string> faults;
  for (size_t i = 0; i < file.TagCount(); ++i) {
    auto more = CheckMdxTag(file, *static_cast<KTobjMDXTag*>(file.TagAt(i)));
    faults.insert(faults.end(), more.begin(), more.end());
  }
  return faults;
}

}  // namespace tessera
