// Fixed texts of the data-access layer's own errors and questions.
#pragma once

namespace dbkit::msg {

inline constexpr const char kDataSetClosed[] = "Cannot perform this operation on a closed dataset";
inline constexpr const char kDataSetOpen[] = "Cannot perform this operation on an open dataset";
inline constexpr const char kDataSetEmpty[] = "Cannot perform this operation on an empty dataset";
inline constexpr const char kDataSetReadOnly[] = "Cannot modify a read-only dataset";
inline constexpr const char kNotEditing[] = "Dataset not in edit or insert mode";
inline constexpr const char kRecordNotFound[] = "Record not found";
inline constexpr const char kFieldNotFound[] = "Field '%s' not found";
inline constexpr const char kDuplicateFieldName[] = "Duplicate field name '%s'";
inline constexpr const char kFieldReadOnly[] = "Field '%s' cannot be modified";
inline constexpr const char kFieldRequired[] = "Field '%s' must have a value";
inline constexpr const char kFieldTypeMismatch[] = "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char kFieldNoDataSet[] = "Field '%s' has no dataset";
inline constexpr const char kTextTooLong[] = "Text '%s' is too long for field '%s' (at most %s characters)";
inline constexpr const char kInvalidInteger[] = "'%s' is not a valid integer value for field '%s'";
inline constexpr const char kInvalidFloat[] = "'%s' is not a valid floating point value for field '%s'";
inline constexpr const char kInvalidBoolean[] = "'%s' is not a valid boolean value for field '%s'";
inline constexpr const char kInvalidDate[] = "'%s' is not a valid date and time for field '%s'";
inline constexpr const char kFieldRange[] = "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr const char kFieldKindCannotConvert[] = "Cannot access field '%s' as type %s";
inline constexpr const char kLocateValueCount[] = "Number of values does not match the fields '%s'";
inline constexpr const char kInvalidBookmark[] = "Bookmark is not valid for this dataset";
inline constexpr const char kCircularDataLink[] = "Circular datalinks are not allowed";
inline constexpr const char kBlobNotSupported[] = "Field '%s' has no value stream in this dataset";
inline constexpr const char kAddRecordNotSupported[] = "Adding a whole record is not supported by this dataset";
inline constexpr const char kDeleteRecordQuestion[] = "Delete record?";

}  // namespace dbkit::msg
