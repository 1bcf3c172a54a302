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
// A record or table lock that another process holds past the wait; the
// tools and the dataset report it with this text.
inline constexpr const char* kRecordLocked = "Record is locked by another user";

// Fills the %s and %d placeholders of a message in order with the given
// texts (numbers are passed already written as text).
std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args);

}  // namespace tessera::msg
