#include "engine/errors.h"

#include <initializer_list>

#include "engine/messages.h"

namespace tessera {
namespace {

// The engine error list, searched from the first row; the first equal Code
// wins. The last three rows belong to table encryption.
constexpr ErrListRec kErrList[] = {
    {2, "File not found"},
    {3, "Path not found"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {12, "Invalid file access code"},
    {15, "Invalid drive number"},
    {32, "File access denied"},
    {33, "Record locked by another user"},
    {100, "Disk read error"},
    {101, "Disk write error"},
    {102, "File not assigned"},
    {103, "File not open"},
    {104, "File not open for input"},
    {105, "File not open for output"},
    {106, "Invalid numeric format"},
    {150, "Disk is write-protected"},
    {152, "Drive not ready"},
    {162, "Hardware failure"},
    {183, "File already exists"},
    {1001, "dBase DBF file header invalid"},
    {1002, "dBase record request beyond EOF"},
    {1003, "dBase field name is invalid"},
    {1004, "dBase field is of incorrect type"},
    {1005, "dBase memo record has format error"},
    {1006, "Formula expression cannot be translated"},
    {1011, "Number too large to fit in field"},
    {1012, "Table is of a read-only format"},
    {1269, "Table encryption key is invalid"},
    {1270, "Table is enciphered"},
    {1271, "Table is not enciphered"},
};

// Words for the codes the list above does not hold: the system's error
// numbers the platform layer gives and the engine's own codes. A code shown
// by number is followed by these and by the context in parentheses.
constexpr ErrListRec kCodeWords[] = {
    {6, "the file handle is invalid"},
    {8, "there is not enough memory"},
    {19, "the disk is write-protected"},
    {21, "the device is not ready"},
    {29, "the disk cannot be written to"},
    {30, "the disk cannot be read from"},
    {38, "the end of the file was reached"},
    {39, "the disk is full"},
    {87, "a value passed to the system is not valid (a file beyond the size the system allows?)"},
    {112, "there is not enough space on the disk"},
    {206, "the file name is too long"},
    {221, "the file is shorter than expected"},
    {2112, "the index file is damaged or is not an index file"},
    {5117, "an index tag needs a name"},
};

}  // namespace

EngineErrorProc EngineErrorHandler = &RaiseEngineError;

std::string ComposeEngineError(int32_t code, int32_t sub_code, const std::string& info) {
  for (const ErrListRec& row : kErrList)
    if (row.Code == code) return std::string(row.Msg) + " - " + info;
  std::string text = "Tessera Error " + std::to_string(code);
  if (sub_code != kNoSubCode) text += ", SubCode " + std::to_string(sub_code);
  for (const ErrListRec& row : kCodeWords)
    if (row.Code == code) return text + ": " + row.Msg + (info.empty() ? "" : " (" + info + ")");
  text += ".\r";
  if (!info.empty()) text += " " + info + ">" + std::to_string(sub_code);
  return text;
}

void RaiseEngineError(int32_t code, int32_t sub_code, const std::string& info) {
  // A negative subcode other than "none" would be a program fault; it still
  // becomes an ordinary engine error rather than ending the process.
  throw ETesseraError(ComposeEngineError(code, sub_code, info));
}

void ReportEngineError(int32_t code, int32_t sub_code, const std::string& info) {
  EngineErrorProc handler = EngineErrorHandler != nullptr ? EngineErrorHandler : &RaiseEngineError;
  handler(code, sub_code, info);
}

namespace msg {

std::string Format(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  auto it = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && (pattern[i + 1] == 's' || pattern[i + 1] == 'd')) {
      if (it != args.end()) out += *it++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace msg
}  // namespace tessera
