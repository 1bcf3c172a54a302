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
    const auto fault = [this](const std::string& what) { Fault(what); };
    if (!EnterCheckedNode(seen, page, depth, "node " + std::to_string(page), fault)) return false;
    const std::unique_ptr<KTobjIndexKey> node = ReadCheckedNode(tag, page, "node " + std::to_string(page), fault);
    if (!node) return false;
    // Interior nodes: the last entry is the rightmost child and has no key.
    const int32_t keyed = node->IsLeaf() ? node->Size() : node->Size() - 1;
    for (int32_t i = 1; i < keyed; ++i)
      if (tag.CompareKeys(*node->Entry(i - 1), *node->Entry(i), -1) > 0)
        Fault("keys out of order in node " + std::to_string(page));
    if (node->IsLeaf()) {
      CheckLeafDepth(leaf_depth, depth, page, fault);
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
  if (file.Table() == nullptr) return faults;
  const auto& keys = walk.leaf_keys;
  CheckRecordKeys(
      tag, keys.size(), [&keys](size_t i) { return keys[i]->Reference; },
      [&keys](size_t i, const TktVariant& key) { return keys[i]->kind() == key.kind() && keys[i]->bytes() == key.bytes(); },
      [&walk](const std::string& what) { walk.Fault(what); });
  return faults;
}

std::vector<std::string> CheckMdxFile(KTobjMDXFile& file) {
  return CheckEveryTag<KTobjMDXTag>(file, CheckMdxTag);
}

}  // namespace tessera
