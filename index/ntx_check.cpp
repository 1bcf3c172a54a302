#include "index/ntx_check.h"

#include <set>

#include "engine/byte_order.h"
#include "engine/errors.h"
#include "index/key_check.h"
#include "index/ntx_file.h"

namespace tessera {
namespace {

constexpr int32_t kPage = KTobjNTXTag::kPageSize;

struct Walk {
  KTobjNTXFile& file;
  KTobjNTXTag& tag;
  std::vector<std::string>& faults;
  std::set<int32_t> seen;
  std::vector<FoundKey> keys;
  int leaf_depth = -1;
  int64_t size = 0;

  void Fault(const std::string& what) { AddCheckFault(faults, tag, what); }

  std::string Key(const uint8_t* s) const {
    int length = tag.KeyLength();
    while (length > 0 && (s[8 + length - 1] == ' ' || s[8 + length - 1] == 0)) --length;
    if (length == 0 && tag.KeyType() == 'D') return "00000000";
    return std::string(reinterpret_cast<const char*>(s + 8), static_cast<size_t>(length));
  }

  void Page(int32_t offset, int depth) {
    const std::string at = "page " + std::to_string(offset);
    if (offset <= 0 || offset % kPage != 0 || offset + int64_t{kPage} > size) {
      Fault(at + " is not a page of the file");
      return;
    }
    if (!EnterCheckedNode(seen, offset, depth, at, [this](const std::string& what) { Fault(what); })) return;
    uint8_t p[kPage];
    if (!file.ReadDirect(offset, p, kPage)) {
      Fault(at + " cannot be read");
      return;
    }
    const int m = tag.MaxKeys(), es = tag.EntrySize();
    const int n = bytes::GetLE16(p);
    if (n > m) {
      Fault(at + " holds " + std::to_string(n) + " keys, more than " + std::to_string(m));
      return;
    }
    std::vector<const uint8_t*> slots;
    for (int i = 0; i <= n; ++i) {
      const int o = bytes::GetLE16(p + 2 + 2 * i);
      if (o < 2 + 2 * (m + 1) || o + es > kPage) {
        if (n == 0 && i == 0 && o == 0) break;  // an all-zero empty leaf
        Fault(at + " has slot " + std::to_string(i) + " at " + std::to_string(o) + ", outside the page");
        return;
      }
      slots.push_back(p + o);
    }
    const bool interior = !slots.empty() && bytes::GetLE32(slots[0]) != 0;
    if (!interior) {
      CheckLeafDepth(leaf_depth, depth, offset, [this](const std::string& what) { Fault(what); });
      for (int i = 0; i < n; ++i) keys.push_back({Key(slots[static_cast<size_t>(i)]), static_cast<int32_t>(bytes::GetLE32(slots[static_cast<size_t>(i)] + 4))});
      return;
    }
    for (int i = 0; i <= n; ++i) {
      const uint8_t* s = slots[static_cast<size_t>(i)];
      Page(static_cast<int32_t>(bytes::GetLE32(s)), depth + 1);
      if (i < n) keys.push_back({Key(s), static_cast<int32_t>(bytes::GetLE32(s + 4))});
    }
  }
};

}  // namespace

std::vector<std::string> CheckNtxFile(KTobjNTXFile& file) {
  std::vector<std::string> faults;
  KTobjNTXTag* tag = file.Tag();
  if (tag == nullptr) {
    faults.push_back("the file holds no tag");
    return faults;
  }
  Walk walk{file, *tag, faults, {}, {}, -1, file.RefreshSize()};
  if (file.RefreshSize() % kPage != 0) walk.Fault("file size " + std::to_string(walk.size) + " is no multiple of 1024");
  uint8_t h[8];
  if (!file.ReadDirect(0, h, 8)) {
    walk.Fault("header cannot be read");
    return faults;
  }
  walk.Page(static_cast<int32_t>(bytes::GetLE32(h + 4)), 0);
  CheckFoundKeys(
      *tag, walk.keys, [](const std::string& k, TktVariant& v) { v.SetText(k); },
      [&walk](const std::string& f) { walk.Fault(f); });
  return faults;
}

}  // namespace tessera
