// Engine failures. File, table, field, memo and index objects report a
// triple (Code, SubCode, Info) through their ReportError; the report ends at
// the process-wide EngineErrorHandler, whose default, RaiseEngineError,
// turns it into a text and throws ETesseraError. Code and subcode travel
// only inside that text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tessera {

// File, table, field, memo and index failures; value comparison, sort,
// index lock, filter and tag-lookup failures.
class ETesseraError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Expression compile and evaluation failures, unknown functions, bad
// function arguments.
class ETesseraExpression : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Enciphered tables (which this engine does not read).
class ETesseraEncryption : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "No operation applies" subcode.
constexpr int32_t kNoSubCode = -7;

// The engine's own codes (platform codes are the Windows error numbers of
// platform/last_error.h).
enum EngineCode : int32_t {
  kCodeNotAssigned = 102,
  kCodeHeaderInvalid = 1001,
  kCodeBeyondEof = 1002,
  kCodeFieldName = 1003,
  kCodeFieldType = 1004,
  kCodeMemoFormat = 1005,
  kCodeFormula = 1006,
  kCodeNumberTooLarge = 1011,
  // A table of a format this engine reads but does not write (or whose
  // header it had to read leniently) was to be written.
  kCodeReadOnlyFormat = 1012,
  kCodeIndexHeader = 2112,
  kCodeTagNameEmpty = 5117,
  // Set (not reported) by a short read.
  kCodeShortRead = 221,
};

// Where a failure happened: the operation that failed.
enum SubCode : int32_t {
  kSubRead = 1101,
  kSubWrite = 1102,
  kSubSize = 1105,
  kSubRename = 1106,
  kSubOpen = 1107,
  kSubCreate = 1108,
  kSubTruncate = 1109,
  kSubFlush = 1111,
  kSubMemoLock = 1112,
  kSubTableHeader = 1204,
  kSubReadRecord = 1207,
  kSubPutDate = 1251,
  kSubPutNumber = 1261,
  kSubPutLogical = 1262,
  kSubFieldName = 1298,
  kSubFieldType = 1299,
  kSubEncryption = 2105,
  kSubCreateTag = 5114,
  kSubMemoOpen = 6101,
  kSubMemoBlock = 6199,
};

// One row of the engine error list.
struct ErrListRec {
  int32_t Code;
  const char* Msg;
};

// The process-wide error handler. Set to RaiseEngineError when the engine
// starts; a replacement that returns makes the reporting operation give its
// failure result (false, 0 or an empty value) instead of going on.
using EngineErrorProc = void (*)(int32_t code, int32_t sub_code, const std::string& info);
extern EngineErrorProc EngineErrorHandler;

// The text RaiseEngineError throws for a triple.
std::string ComposeEngineError(int32_t code, int32_t sub_code, const std::string& info);

// Composes the text and throws ETesseraError.
[[noreturn]] void RaiseEngineError(int32_t code, int32_t sub_code, const std::string& info);

// The public reporting entry: calls through EngineErrorHandler (falling back
// to RaiseEngineError when none is set).
void ReportEngineError(int32_t code, int32_t sub_code, const std::string& info);

}  // namespace tessera
