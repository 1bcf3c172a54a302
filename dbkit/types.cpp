#include "dbkit/types.h"

namespace dbkit {

const char* StateName(DataSetState state) {
  switch (state) {
    case DataSetState::kInactive: return "inactive";
    case DataSetState::kBrowse: return "browse";
    case DataSetState::kEdit: return "edit";
    case DataSetState::kInsert: return "insert";
    case DataSetState::kSetKey: return "set key";
    case DataSetState::kCalcFields: return "calculated fields";
    case DataSetState::kFilter: return "filter";
    case DataSetState::kNewValue: return "new value";
    case DataSetState::kOldValue: return "old value";
    case DataSetState::kInternalCalc: return "internal calculation";
  }
  return "?";
}

const char* FieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::kUnknown: return "Unknown";
    case FieldType::kString: return "String";
    case FieldType::kSmallInt: return "SmallInt";
    case FieldType::kInteger: return "Integer";
    case FieldType::kFloat: return "Float";
    case FieldType::kBoolean: return "Boolean";
    case FieldType::kDate: return "Date";
    case FieldType::kDateTime: return "DateTime";
    case FieldType::kMemo: return "Memo";
    case FieldType::kBlob: return "Blob";
  }
  return "?";
}

}  // namespace dbkit
