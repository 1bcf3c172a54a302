#include "index/ndx_check.h"

#include <optional>
#include <set>

#include "engine/byte_order.h"
#include "engine/errors.h"
#include "index/key_check.h"
#include "index/ndx_file.h"

namespace tessera {
namespace {

constexpr int32_t kBlock = KTobjNDXTag::kBlockBytes;

struct Walk {
  KTobjNDXFile& file;
  KTobjNDXTag& tag;
  std::vector<std::string>& faults;
  std::set<int32_t> seen;
  std::vector<FoundKey> keys;
  int leaf_depth = -1;
  int64_t size = 0;

  void Fault(const std::string& what) { AddCheckFault(faults, tag, what); }

  std::string Key(const uint8_t* e) const {
    if (tag.NumericKeys()) return std::string(reinterpret_cast<const char*>(e + 8), 8);
    int length = tag.KeyLength();
    while (length > 0 && e[8 + length - 1] == ' ') --length;
    if (e[8] == 0) length = 0;
    return std::string(reinterpret_cast<const char*>(e + 8), static_cast<size_t>(length));
  }

  int Compare(const std::string& a, const std::string& b) const {
    TktVariant x, y;
    MakeValue(a, x);
    MakeValue(b, y);
    return tag.CompareKeys(x, y, -1);
  }

  void MakeValue(const std::string& k, TktVariant& v) const {
    if (tag.NumericKeys()) {
      v.SetNumber(0);
      std::memcpy(v.mutable_data(), k.data(), 8);
    } else {
      v.SetText(k);
    }
  }

  // Walks the subtree at block; answers its greatest key, if any.
  std::optional<std::string> Node(int32_t block, int depth) {
    const std::string at = "block " + std::to_string(block);
    if (block <= 0 || (block + int64_t{1}) * kBlock > size) {
      Fault(at + " is not a block of the file");
      return std::nullopt;
    }
    if (!EnterCheckedNode(seen, block, depth, at, [this](const std::string& what) { Fault(what); })) return std::nullopt;
    uint8_t b[kBlock];
    if (!file.ReadDirect(block * kBlock, b, kBlock)) {
      Fault(at + " cannot be read");
      return std::nullopt;
    }
    const int n = bytes::GetLE16(b), es = tag.EntrySize();
    if (n > tag.MaxKeys() || bytes::GetLE16(b + 2) != 0) {
      Fault(at + " holds " + std::to_string(bytes::GetLE32(b)) + " keys, more than " + std::to_string(tag.MaxKeys()));
      return std::nullopt;
    }
    const bool interior = bytes::GetLE32(b + 4) != 0;
    if (!interior) {
      CheckLeafDepth(leaf_depth, depth, block, [this](const std::string& what) { Fault(what); });
      for (int i = 0; i < n; ++i) keys.push_back({Key(b + 4 + i * es), static_cast<int32_t>(bytes::GetLE32(b + 8 + i * es))});
      if (n == 0) return std::nullopt;
      return Key(b + 4 + (n - 1) * es);
    }
    std::optional<std::string> last;
    for (int i = 0; i <= n; ++i) {
      const uint8_t* e = b + 4 + i * es;
      const size_t before = keys.size();
      const auto child_last = Node(static_cast<int32_t>(bytes::GetLE32(e)), depth + 1);
      if (i > 0 && keys.size() > before && Compare(keys[before].first, Key(e - es)) < 0)
        Fault("key " + std::to_string(i) + " of " + at + " is above a key of the child after it");
      if (i < n) {
        if (child_last && *child_last != Key(e) && Compare(*child_last, Key(e)) > 0)
          Fault("key " + std::to_string(i + 1) + " of " + at + " is below a key of its child");
      }
      if (child_last) last = child_last;
    }
    return last;
  }
};

}  // namespace

std::vector<std::string> CheckNdxFile(KTobjNDXFile& file) {
  std::vector<std::string> faults;
  KTobjNDXTag* tag = file.Tag();
  if (tag == nullptr) {
    faults.push_back("the file holds no tag");
    return faults;
  }
  Walk walk{file, *tag, faults, {}, {}, -1, file.RefreshSize()};
  uint8_t h[8];
  if (!file.ReadDirect(0, h, 8)) {
    walk.Fault("header cannot be read");
    return faults;
  }
  walk.Node(static_cast<int32_t>(bytes::GetLE32(h)), 0);
  CheckFoundKeys(
      *tag, walk.keys, [&walk](const std::string& k, TktVariant& v) { walk.MakeValue(k, v); },
      [&walk](const std::string& f) { walk.Fault(f); });
  return faults;
}

}  // namespace tessera
