// Fixed texts of the dataset adapter's own failures (raised as
// dbkit::DatabaseError). "%s" takes a file or table name.
#pragma once

namespace tessera::dsmsg {

inline constexpr const char kTableNameMissing[] = "Table name missing";
inline constexpr const char kCannotFindFile[] = "Cannot find file %s";
inline constexpr const char kIndexAlreadyOpen[] = "Index file %s already open";
inline constexpr const char kErrorGetting[] = "Error getting %s";
inline constexpr const char kBeyondRange[] = "Record request beyond range of table";
inline constexpr const char kCannotDelete[] = "Cannot delete the record";
inline constexpr const char kCannotRecall[] = "Cannot recall the record";
inline constexpr const char kInvalidBookmark[] = "Bookmark is invalid for table ";
inline constexpr const char kRecordLocked[] = "Record is locked by another user";
// An edit or post of a record that another program deleted meanwhile.
inline constexpr const char kRecordDeleted[] = "Record was deleted by another user";
// A file that must be held alone (an index file about to be replaced) is
// open in another program.
inline constexpr const char kFileInUse[] = "File %s is in use by another program";
inline constexpr const char kBusyIndexing[] = "Table is busy building an index";
inline constexpr const char kBusyCopying[] = "Table is busy copying";
inline constexpr const char kNotEditing[] = "Dataset not in edit or insert mode";
inline constexpr const char kNotIndexField[] = "Field '%s' is not indexed and cannot be modified";
inline constexpr const char kFieldReadOnly[] = "Field '%s' cannot be modified";
inline constexpr const char kNoIndexForFind[] = "No index is assigned for Find operation";
inline constexpr const char kMasterNoIndex[] = "Master/Detail relation failed, no index open for %s";
inline constexpr const char kMasterMismatch[] = "Master/Detail relation failed, field missmatch for %s";
inline constexpr const char kCircularLinks[] = "Circular datalinks are not allowed";
inline constexpr const char kClosedDataSet[] = "Cannot perform this operation on a closed dataset";
// A blob stream asked to write before the start of its value.
inline constexpr const char kBlobNegativePosition[] = "Cannot write before the start of field '%s'";

}  // namespace tessera::dsmsg
