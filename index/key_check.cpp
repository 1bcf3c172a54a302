#include "index/key_check.h"

#include <map>

#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "engine/variant.h"
#include "index/index_file.h"
#include "index/index_key.h"
#include "index/index_tag.h"

namespace tessera {

void AddCheckFault(std::vector<std::string>& faults, const KTobjIndexTag& tag, const std::string& what) {
  if (faults.size() < 200) faults.push_back("tag " + tag.Name() + ": " + what);
}

bool EnterCheckedNode(std::set<int32_t>& seen, int32_t offset, int depth, const std::string& node,
                      const std::function<void(const std::string&)>& fault) {
  if (!seen.insert(offset).second) {
    fault(node + " is reached twice (the tree loops)");
    return false;
  }
  if (depth > 64) {
    fault("tree deeper than 64 levels");
    return false;
  }
  return true;
}

void CheckFoundKeys(KTobjIndexTag& tag, const std::vector<FoundKey>& keys,
                    const std::function<void(const std::string&, TktVariant&)>& make_value,
                    const std::function<void(const std::string&)>& fault) {
  for (size_t i = 1; i < keys.size(); ++i) {
    TktVariant a, b;
    make_value(keys[i - 1].first, a);
    make_value(keys[i].first, b);
    const int c = tag.CompareKeys(a, b, -1);
    if (c > 0) {
      fault("keys out of order at position " + std::to_string(i + 1));
      break;
    }
    if (c == 0 && tag.Unique())
      fault("unique tag holds a key twice (records " + std::to_string(keys[i - 1].second) + ", " +
            std::to_string(keys[i].second) + ")");
  }
  CheckKeysAgainstRecords(tag, keys, fault);
}

void CheckKeysAgainstRecords(KTobjIndexTag& tag, const std::vector<FoundKey>& keys,
                             const std::function<void(const std::string&)>& fault) {
  CheckRecordKeys(
      tag, keys.size(), [&keys](size_t i) { return keys[i].second; },
      [&keys](size_t i, const TktVariant& key) { return keys[i].first == key.bytes(); }, fault);
}

void CheckRecordKeys(KTobjIndexTag& tag, size_t count, const std::function<int32_t(size_t)>& record_of,
                     const std::function<bool(size_t, const TktVariant&)>& matches,
                     const std::function<void(const std::string&)>& fault) {
  KTO_dBHandler* table = tag.File()->Table();
  if (table == nullptr) return;
  if (!tag.Unusable().empty()) {
    // Its keys cannot be compared with the records' here.
    fault("keys not compared with the records: " + tag.Unusable());
    return;
  }
  std::map<int32_t, size_t> indexed;  // record -> its key found
  for (size_t i = 0; i < count; ++i) {
    const int32_t recno = record_of(i);
    if (recno < 1 || recno > table->RecordCount()) fault("key for record " + std::to_string(recno) + " beyond the table");
    else if (!indexed.emplace(recno, i).second) fault("record " + std::to_string(recno) + " has two keys");
  }
  const int32_t saved = table->CurrentRecord();
  for (int32_t r = 1; r <= table->RecordCount(); ++r) {
    table->GotoRecord(r);
    bool wanted = true;
    KTobjIndexKeyData key(256);
    try {
      if (tag.HasFor()) wanted = tag.EvalFor();
      if (!tag.EvalKey(key, nullptr)) {
        fault("the key expression gives no value for record " + std::to_string(r));
        break;
      }
      tag.NormalizeKey(key, true);
    } catch (const std::exception& e) {
      // A tag whose expressions this engine cannot evaluate cannot be kept
      // current by it either.
      fault(std::string("expressions cannot be evaluated: ") + e.what());
      break;
    }
    auto it = indexed.find(r);
    if (it == indexed.end()) {
      // Which record of a group of equal values a unique tag keeps depends
      // on the table's history: it is not checked.
      if (wanted && !tag.Unique()) fault("record " + std::to_string(r) + " has no key");
      continue;
    }
    if (!wanted) fault("record " + std::to_string(r) + " has a key but fails the FOR condition");
    else if (!matches(it->second, key)) fault("key of record " + std::to_string(r) + " does not match the record");
  }
  if (saved >= 1 && saved <= table->RecordCount()) table->GotoRecord(saved);
}

std::unique_ptr<KTobjIndexKey> ReadCheckedNode(KTobjIndexTag& tag, int32_t offset, const std::string& node,
                                               const std::function<void(const std::string&)>& fault) {
  try {
    return std::make_unique<KTobjIndexKey>(&tag, nullptr, offset);
  } catch (const ETesseraError&) {
    fault(node + " cannot be read (damaged)");
    return nullptr;
  }
}

void CheckLeafDepth(int& leaf_depth, int depth, int32_t offset, const std::function<void(const std::string&)>& fault) {
  if (leaf_depth < 0) leaf_depth = depth;
  else if (leaf_depth != depth) fault("leaf " + std::to_string(offset) + " at another depth than the others");
}

}  // namespace tessera
