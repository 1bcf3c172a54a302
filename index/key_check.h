// The part of an index check common to the single-tag formats: the keys a
// walk of the file found, in tag order, against each other and against the
// keys the table's records give.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tessera {

class KTobjIndexKey;
class KTobjIndexTag;

// The faults of a check: each names the tag; past 200 no more are kept (a
// badly damaged file would give one per key).
void AddCheckFault(std::vector<std::string>& faults, const KTobjIndexTag& tag, const std::string& what);

// The start of a check walk's visit of the node `node` names ("node 1536",
// "page 1024") at `offset`: false, with the fault reported, when the walk
// reached it before (the tree loops) or has gone deeper than any tree.
bool EnterCheckedNode(std::set<int32_t>& seen, int32_t offset, int depth, const std::string& node,
                      const std::function<void(const std::string&)>& fault);

// One key as stored (in NormalizeKey's form) with its record number.
using FoundKey = std::pair<std::string, int32_t>;

// Reports (through fault) keys out of the tag's order, a unique tag holding
// a value twice, keys of records beyond the table or of records with two
// keys, records without a key (except in unique tags), keys of records that
// fail the FOR condition and keys that are not what the record gives.
// `make_value` turns a stored key into a value the tag compares.
void CheckFoundKeys(KTobjIndexTag& tag, const std::vector<FoundKey>& keys,
                    const std::function<void(const std::string&, class TktVariant&)>& make_value,
                    const std::function<void(const std::string&)>& fault);

// The second half of CheckFoundKeys, for every format: keys of records
// beyond the table or of records with two keys, records without a key
// (except in unique tags), keys of records that fail the FOR condition and
// keys that are not what the record gives.
void CheckKeysAgainstRecords(KTobjIndexTag& tag, const std::vector<FoundKey>& keys,
                             const std::function<void(const std::string&)>& fault);
// The same over `count` keys found, whatever form the walk keeps them in:
// `record_of(i)` is key i's record, `matches(i, key)` whether key i is
// the record's key `key` (in NormalizeKey's form).
void CheckRecordKeys(KTobjIndexTag& tag, size_t count, const std::function<int32_t(size_t)>& record_of,
                     const std::function<bool(size_t, const class TktVariant&)>& matches,
                     const std::function<void(const std::string&)>& fault);

// A tree node a check walk visits, read through the tag's node cache: null,
// with "<node> cannot be read (damaged)" reported, when it cannot be.
std::unique_ptr<KTobjIndexKey> ReadCheckedNode(KTobjIndexTag& tag, int32_t offset, const std::string& node,
                                               const std::function<void(const std::string&)>& fault);
// Every leaf stands at the same depth: the first leaf a walk meets sets it
// (`leaf_depth` < 0 before), any other at another depth is reported.
void CheckLeafDepth(int& leaf_depth, int depth, int32_t offset, const std::function<void(const std::string&)>& fault);

// The check of every tag of a file with several (CDX, MDX), its faults in
// tag order.
template <class Tag, class File, class CheckTag>
std::vector<std::string> CheckEveryTag(File& file, CheckTag check_tag) {
  std::vector<std::string> faults;
  for (size_t i = 0; i < file.TagCount(); ++i) {
    auto more = check_tag(file, *static_cast<Tag*>(file.TagAt(i)));
    faults.insert(faults.end(), more.begin(), more.end());
  }
  return faults;
}

}  // namespace tessera
