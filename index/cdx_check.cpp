#include "index/cdx_check.h"

#include <algorithm>
#include <map>
#include <set>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/cdx_file.h"
#include "index/key_check.h"

namespace tessera {
namespace {

struct Walk {
  KTobjCDXFile& file;
  KTobjCDXTag& tag;
  std::vector<std::string>& faults;
  std::map<int, std::vector<std::pair<int32_t, int32_t>>> levels;  // depth -> (offset, left/right) in order
  std::map<int32_t, std::pair<int32_t, int32_t>> siblings;          // offset -> (left, right)
  std::set<int32_t> seen;
  std::vector<std::pair<std::string, int32_t>> leaf_keys;           // stored key, record
  int leaf_depth = -1;

  void Fault(const std::string& what) { AddCheckFault(faults, tag, what); }

  // Walks the subtree at offset; answers its greatest key and record.
  bool Node(int32_t offset, int depth, KTobjIndexKeyData* last) {
    const auto fault = [this](const std::string& what) { Fault(what); };
    if (!EnterCheckedNode(seen, offset, depth, "node " + std::to_string(offset), fault)) return false;
    const std::unique_ptr<KTobjIndexKey> node = ReadCheckedNode(tag, offset, "node " + std::to_string(offset), fault);
    if (!node) return false;
    levels[depth].push_back({offset, 0});
    siblings[offset] = {node->left, node->right};
    for (int32_t i = 1; i < node->Size(); ++i) {
      const int c = tag.CompareKeys(*node->Entry(i - 1), *node->Entry(i), -1);
      const bool out = c > 0 || (c == 0 && node->Entry(i - 1)->RecordNumber > node->Entry(i)->RecordNumber);
      if (out) Fault("keys out of order in node " + std::to_string(offset));
    }
    if (node->IsLeaf()) {
      CheckLeafDepth(leaf_depth, depth, offset, fault);
      for (int32_t i = 0; i < node->Size(); ++i)
        leaf_keys.push_back({std::string(node->Entry(i)->bytes()), node->Entry(i)->Reference});
      if (node->Size() > 0 && last != nullptr) last->CopyFrom(*node->Entry(node->Size() - 1));
      return node->Size() > 0;
    }
    bool any = false;
    for (int32_t i = 0; i < node->Size(); ++i) {
      const KTobjIndexKeyData& e = *node->Entry(i);
      KTobjIndexKeyData child_last;
      if (!Node(e.Reference, depth + 1, &child_last)) continue;
      any = true;
      if (child_last.bytes() != e.bytes() || child_last.RecordNumber != e.RecordNumber)
        Fault("separator of child " + std::to_string(e.Reference) + " in node " + std::to_string(offset) +
              " is not the child's last key");
    }
    if (node->Size() > 0 && last != nullptr) last->CopyFrom(*node->Entry(node->Size() - 1));
    return any;
  }

  void Siblings() {
    for (auto& [depth, nodes] : levels) {
      // Each level's nodes, in key order, form one chain from -1 to -1.
      for (size_t i = 0; i < nodes.size(); ++i) {
        const int32_t off = nodes[i].first;
        const auto [left, right] = siblings[off];
        const int32_t want_left = i == 0 ? -1 : nodes[i - 1].first;
        const int32_t want_right = i + 1 == nodes.size() ? -1 : nodes[i + 1].first;
        if (left != want_left)
          Fault("node " + std::to_string(off) + " has left sibling " + std::to_string(left) + ", expected " +
                std::to_string(want_left));
        if (right != want_right)
          Fault("node " + std::to_string(off) + " has right sibling " + std::to_string(right) + ", expected " +
                std::to_string(want_right));
      }
    }
  }
};

}  // namespace

std::vector<std::string> CheckCdxTag(KTobjCDXFile& file, KTobjCDXTag& tag) {
  std::vector<std::string> faults;
  Walk walk{file, tag, faults, {}, {}, {}, {}, -1};
  int32_t root = 0;
  try {
    root = tag.ReadRootOffset();
  } catch (const ETesseraError&) {
    walk.Fault("root offset is not a node of the file");
    return faults;
  }
  walk.Node(root, 0, nullptr);
  walk.Siblings();
  for (size_t i = 1; i < walk.leaf_keys.size(); ++i) {
    TktVariant a, b;
    if (tag.TextEntries()) {
      a.SetText(walk.leaf_keys[i - 1].first);
      b.SetText(walk.leaf_keys[i].first);
    } else {
      a.SetBytes(walk.leaf_keys[i - 1].first.data(), static_cast<int32_t>(walk.leaf_keys[i - 1].first.size()));
      b.SetBytes(walk.leaf_keys[i].first.data(), static_cast<int32_t>(walk.leaf_keys[i].first.size()));
    }
    const int c = tag.CompareKeys(a, b, -1);
    if (c > 0 || (c == 0 && walk.leaf_keys[i - 1].second >= walk.leaf_keys[i].second)) {
      walk.Fault("keys out of order at position " + std::to_string(i + 1));
      break;
    }
    if (c == 0 && (tag.Unique() || tag.Candidate()))
      walk.Fault(std::string(tag.Unique() ? "unique" : "candidate") + " tag holds a key twice (records " +
                 std::to_string(walk.leaf_keys[i - 1].second) + ", " + std::to_string(walk.leaf_keys[i].second) + ")");
  }

  // The keys the records give.
  if (file.Table() == nullptr) return faults;
  CheckKeysAgainstRecords(tag, walk.leaf_keys, [&walk](const std::string& what) { walk.Fault(what); });
  return faults;
}

std::vector<std::string> CheckCdxFile(KTobjCDXFile& file) {
  return CheckEveryTag<KTobjCDXTag>(file, CheckCdxTag);
}

}  // namespace tessera
