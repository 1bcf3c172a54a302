// The engine's fixed message texts, used exactly as written.
#pragma once

#include <string>
#include <string_view>

namespace tessera::msg {

// Expression engine (ETesseraExpression).
inline constexpr const char* kUnknownVariable = "Field/variable %s is unknown";
inline constexpr const char* kCannotEvaluate = "Expression cannot be evaluated";
inline constexpr const char* kMissingParen = "Missing closing parentheses";
inline constexpr const char* kMissingPeriod = "Missing closing period";
inline constexpr const char* kMissingQuote = "Missing closing \"%s\" on literal";
inline constexpr const char* kExpectingLogical = "Expecting \".T.\" or \".F.\"";
inline constexpr const char* kSyntaxError = "Syntax Error in expression \"%s\"";
inline constexpr const char* kNoFunction = "There is no function for %s";
inline constexpr const char* kArgumentNeeded = "%s needed for Argument %d of %s";
inline constexpr const char* kTargetMissing = "Target value missing for %s operation";
inline constexpr const char* kSidesDoNotMatch = "The two sides of an operation do not match";
inline constexpr const char* kValueRequired = "A %s value is required but invalid";
inline constexpr const char* kTextTooLong =
    "%s would make a text of %s bytes; an expression value holds at most 1 MiB (1048576 bytes)";

// Raised directly as ETesseraError.
inline constexpr const char* kVariantMismatch = "Variant types mismatch for compare";
inline constexpr const char* kCannotSortType = "Variant type cannot be sorted";
inline constexpr const char* kSortKeyTooLong = "Sort key length greater than 240 bytes";
inline constexpr const char* kSortAfterRetrieval = "Cannot add sort keys after beginning retrieval";
inline constexpr const char* kTagNotFound = "Cannot find index tag %s";
inline constexpr const char* kIndexLockError = "Error %s in Lock of %s";
inline constexpr const char* kFilterNotBoolean = "Filter expression must return boolean result";
inline constexpr const char* kTableEnciphered = "Table is enciphered and cannot be read - %s";

// Dataset errors (the data-access framework's database error).
inline constexpr const char* kNoIndexForFind = "No index is assigned for Find operation";
inline constexpr const char* kBeyondRange = "Record request beyond range of table";
inline constexpr const char* kCannotDelete = "Cannot delete the record";
inline constexpr const char* kCannotRecall = "Cannot recall the record";
inline constexpr const char* kBookmarkInvalid = "Bookmark is invalid for table ";
inline constexpr const char* kRecordLocked = "Record is locked by another user";
inline constexpr const char* kBusyIndexing = "Table is busy building an index";
inline constexpr const char* kBusyCopying = "Table is busy copying";
inline constexpr const char* kNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* kNoIndexForRelation = "Master/Detail relation failed, no index open for %s";
inline constexpr const char* kFieldMismatchRelation = "Master/Detail relation failed, field missmatch for %s";
inline constexpr const char* kTableNameMissing = "Table name missing";
inline constexpr const char* kCannotFindFile = "Cannot find file %s";
inline constexpr const char* kErrorGetting = "Error getting %s";
inline constexpr const char* kIndexAlreadyOpen = "Index file %s already open";

// Fills the %s and %d placeholders of a message in order with the given
// texts (numbers are passed already written as text).
std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args);

}  // namespace tessera::msg
