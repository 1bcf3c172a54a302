// The part of an index check common to the single-tag formats: the keys a
// walk of the file found, in tag order, against each other and against the
// keys the table's records give.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tessera {

class KTobjIndexTag;

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
