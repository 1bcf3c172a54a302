// KTO_dBaseFld: the field layer of an open table. It knows how each field
// type is encoded inside a record and reads and writes the fields of the
// current record buffer as text, number, date or logical. None of its
// accessors touches the disk, except the deletion marks, which write the
// record at once, and the memo operations.
//
// Encodings (width = length, or length + 256 * decimals for C):
//   C  text, left-aligned, blank-filled (bytes after a NUL are text too)
//   N  decimal text, right-aligned, blank-filled; F is stored the same way
//   D  "yyyymmdd", eight blanks when empty
//   L  one letter: "T"/"F" when written; true when one of "TtYyJj"; blank
//      or "?" for no value
//   M, G, B, P  memo block number as right-aligned decimal text (width 10)
//   any other letter: plain text, right-aligned on put
// Held in binary (little-endian) in every table but dBase 7's, as FoxPro
// and the programs that write these letters do:
//   I     int32 (width 4)
//   T     int32 Julian day, int32 milliseconds since midnight (width 8;
//         8 zero bytes = empty)
//   Y     int64 ten-thousandths (width 8)
// In Visual FoxPro tables (0x30, 0x31, 0x32) also:
//   M, G, W, P  int32 block number (0 = no memo); W is a blob, P a picture
//   B     IEEE double
//   V, Q  varchar, varbinary: the bytes, left-aligned; when the field's
//         length bit in _NullFlags is set the value is shorter than the
//         field and the field's last byte holds its length
//   a nullable field holds .NULL. when its null bit in _NullFlags is set
//   (dbf_field.h); the _NullFlags field itself (type "0") is a system field
// In dBase 7 tables (0x04, 0x8C), big-endian:
//   I, +  int32 with its sign bit inverted (so that the bytes sort as the
//         numbers do); "+" is numbered by the table
//   @     IEEE double: milliseconds counted as for T
//   O     IEEE double
//   all-zero bytes are no value
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dbf_table.h"

namespace tessera {

class KTobjMemo;
class TktDBFExpUserLink;

// A value handed to StoreValuesInRecord: text, or Null (nullopt).
using FieldValue = std::optional<std::string>;

class KTO_dBaseFld : public KTO_dBaseDBF {
 public:
  // Opens the table and finishes the field table: numbers, offsets and the
  // table's name resolver for expressions.
  KTO_dBaseFld(std::string_view file_name, bool shared, bool writable);
  ~KTO_dBaseFld() override;

  // Virtual operations, in slot order after the table's.
  /* 25 */ virtual const DbfField* FindField(std::string_view name);
  /* 26 */ virtual void BlankRecord();
  /* 27 */ virtual int32_t GetDate(std::string_view name);
  /* 28 */ virtual int32_t GetDateN(int number);
  /* 29 */ virtual bool PutDate(std::string_view name, int32_t day);
  /* 30 */ virtual bool PutDateN(int number, int32_t day);
  /* 31 */ virtual void MarkDeleted();
  /* 32 */ virtual std::string GetRaw(std::string_view name);
  /* 33 */ virtual std::string GetRawN(int number);
  /* 34 */ virtual bool PutRaw(std::string_view name, std::string_view text);
  /* 35 */ virtual bool PutRawN(int number, std::string_view text);
  /* 36 */ virtual int FieldDecimals(int number);
  /* 37 */ virtual int FieldWidth(int number);
  /* 38 */ virtual int FieldOffset(int number);
  /* 39 */ virtual std::string FieldName(int number);
  /* 40 */ virtual char FieldType(int number);
  /* 41 */ virtual int32_t ReservedOp(int32_t, int32_t, int32_t, int32_t, int32_t);
  /* 42 */ virtual bool GetLogical(std::string_view name);
  /* 43 */ virtual bool GetLogicalN(int number);
  /* 44 */ virtual bool PutLogical(std::string_view name, bool value);
  /* 45 */ virtual bool PutLogicalN(int number, bool value);
  /* 46 */ virtual double GetNumber(std::string_view name);
  /* 47 */ virtual double GetNumberN(int number);
  /* 48 */ virtual bool PutNumber(std::string_view name, double value);
  /* 49 */ virtual bool PutNumberN(int number, double value);
  /* 50 */ virtual std::string GetText(std::string_view name);
  /* 51 */ virtual std::string GetTextN(int number);
  /* 52 */ virtual bool PutText(std::string_view name, std::string_view text);
  /* 53 */ virtual bool PutTextN(int number, std::string_view text);
  /* 54 */ virtual void MarkRecalled();

  // 1-based number of a field, 0 when there is none (no error).
  int FieldNumber(std::string_view name);
  // FindField, then a type check (see the .cpp); reports 1004/1299.
  const DbfField* FindTypedField(std::string_view name, char wanted_type);
  // Writes text into a field of any record buffer (blank fill, alignment by
  // type) and marks the record changed. Every put goes through here.
  void StoreFieldText(const DbfField& field, std::string_view text, char* record);
  // The memo file for a memo-type field (M, G; B outside 0x30 tables),
  // else null.
  KTobjMemo* MemoFileOf(int number);
  // Length of the memo a field points at (0 when it has none).
  int32_t MemoSize(int number);
  // Reads the field's memo into buffer (capacity *size); true when read.
  bool MemoRead(int number, char* buffer, int32_t* size);
  // Stores buffer as the field's memo and the new block in the field; an
  // empty memo leaves the field 0.
  bool MemoWrite(int number, const char* buffer, int32_t* size);
  // The whole memo of a field; its block number in the record.
  std::string MemoText(int number);
  int32_t MemoBlock(int number);
  // Fills a scratch record (RecordLength() bytes): blanks it and stores each
  // value with PutText into the field named at the same place of the
  // ";"-separated list. The table's own buffer is current again afterwards.
  void StoreValuesInRecord(char* buffer, std::string_view names, const std::vector<FieldValue>& values);

  // True for a field held in binary form (see the top of this file).
  bool IsBinaryField(const DbfField& field) const;
  // True for a field whose contents live in the memo file.
  bool IsMemoField(const DbfField& field) const;

  // Values with no text form. For a SQL layer, a grid or a JSON writer:
  // a field is "null" when the table's format says it holds no value
  // (Visual FoxPro .NULL.); it "has no value" also when it is blank where
  // its type has a blank form: N and F all blanks, D blank or zeros, L
  // blank or "?", T and the dBase 7 binaries all zeros. C, V, Q and memo
  // fields always have a value (perhaps empty).
  bool IsNull(int number);
  bool HasValue(int number);
  // Sets or clears .NULL. for a nullable field of a Visual FoxPro table
  // (in the current record buffer); false for any other field. Every put
  // of a value clears it.
  bool SetNull(int number, bool null);
  // The value bytes of a field: for V and Q as long as the value is (see
  // above); for every other field its bytes in the record, full width.
  std::string ValueBytes(int number);
  // The field touched by the last access by name or number.
  const DbfField* LastField() const { return last_field_.load(std::memory_order_relaxed); }
  // The table's file name without folder and extension.
  std::string TableBaseName() const;
  // Why the long field names of the table's database container are not
  // in force although the table links to one; empty otherwise.
  const std::string& ContainerProblem() const { return container_problem_; }
  // The resolver through which expressions read this table's fields and
  // table functions; created when the table is opened.
  TktDBFExpUserLink* NameResolver() const { return name_resolver_.get(); }

 private:
  const DbfField* FieldAt(int number);
  void CreateNameResolver();
  // A bit of the _NullFlags field of a record buffer.
  bool NullFlag(const char* record, int bit) const;
  void SetNullFlag(char* record, int bit, bool on);

  // Atomic: a bulk index build reads fields on several threads at once.
  std::atomic<const DbfField*> last_field_{nullptr};
  std::string container_problem_;
  std::unique_ptr<TktDBFExpUserLink> name_resolver_;
};

}  // namespace tessera
