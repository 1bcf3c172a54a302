// The part of an index check common to the single-tag formats: the keys a
// walk of the file found, in tag order, against each other and against the
// keys the table's records give.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tessera {

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

}  // namespace tessera
