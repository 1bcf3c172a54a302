// Engine-wide settings: fixed for the life of the process.
#pragma once

#include <cstdint>

namespace tessera {

// A text whose first character is one of these reads as true; true is
// written as the first of them.
inline constexpr const char* kLogicalTrueChars = "TtYyJj";
inline constexpr const char* kLogicalFalseChars = "FfNn";
// Memo and index locks are retried for LockWaitTotal ms, pausing
// LockRetryInterval ms after every failed attempt (also after the last).
inline constexpr int kLockWaitTotal = 5000;
inline constexpr int kLockRetryInterval = 50;
inline constexpr int kLockRetries = kLockWaitTotal / kLockRetryInterval;
// Written after the last record of a table.
inline constexpr uint8_t kEndOfFileMark = 0x1A;

inline bool IsLogicalTrueChar(char c) {
  for (const char* p = kLogicalTrueChars; *p; ++p)
    if (*p == c) return true;
  return false;
}
inline bool IsLogicalFalseChar(char c) {
  for (const char* p = kLogicalFalseChars; *p; ++p)
    if (*p == c) return true;
  return false;
}

}  // namespace tessera
