// Table-bound names: the resolver every opened table creates once, through
// which its index keys, FOR conditions and filters read the current record.
// Every field is a variable (class 17), under its long name too when the
// table's database container gives it one; RECNO, DELETED, BOF, EOF, TYPE and
// FIELDNO report the table's position and fields. Built-in functions are
// looked up before these, so a built-in name always wins.
//
// The resolver, its variables and its functions point at the table without
// owning it; the table owns the resolver and frees it when it closes.
#pragma once

#include <string>

#include "expr/user_link.h"

namespace tessera {

class KTO_dBaseFld;
struct DbfField;

// One field of the table, read from the current record buffer:
//   C                        text, full width, trailing blanks kept (3)
//   D                        day number, 0 for a blank date (6)
//   F, N                     number (4)
//   L                        logical (8)
//   M                        the memo's text up to its first zero byte (3)
//   V                        varchar: the value as long as it is (3)
//   binary I, Y, B (Visual FoxPro), +, O (dBase 7)   number (4)
//   any other                the raw field text (9)
class TktlDBFFieldVars : public TktUserDefFieldVar {
 public:
  TktlDBFFieldVars(KTO_dBaseFld& table, const DbfField& field);
  // The same field under another name (the long name a database container
  // gives it).
  TktlDBFFieldVars(KTO_dBaseFld& table, const DbfField& field, const std::string& name);
  int VarClass() const override { return 17; }
  bool GetValue(TktExpValue& value, uint8_t& type) override;
  int FieldNumber() const { return number_; }

 private:
  KTO_dBaseFld& table_;
  int number_;
  char type_letter_;
  bool binary_number_;  // a number held in binary (see GetValue)
};

// A function of the table (no state besides the table).
class TktlDBFFunction : public TktUserDefFunction {
 public:
  explicit TktlDBFFunction(KTO_dBaseFld& table) : table_(table) {}

 protected:
  KTO_dBaseFld& table_;
};

// RECNO(): the current record number (4).
class TktlDBFRecNo : public TktlDBFFunction {
 public:
  using TktlDBFFunction::TktlDBFFunction;
  std::string Name() const override { return "RECNO"; }
  bool Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) override;
};

// DELETED(): whether the current record carries the deletion mark (8).
class TktlDBFDeleted : public TktlDBFFunction {
 public:
  using TktlDBFFunction::TktlDBFFunction;
  std::string Name() const override { return "DELETED"; }
  bool Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) override;
};

// BOF(), EOF(): the table's begin- and end-of-file flags (8).
class TktlDBFBOF : public TktlDBFFunction {
 public:
  using TktlDBFFunction::TktlDBFFunction;
  std::string Name() const override { return "BOF"; }
  bool Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) override;
};

class TktlDBFEOF : public TktlDBFFunction {
 public:
  using TktlDBFFunction::TktlDBFFunction;
  std::string Name() const override { return "EOF"; }
  bool Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) override;
};

// TYPE(name): the type letter of the named field (3); an unknown name is
// the field layer's error 1003.
class TktlDBFType : public TktlDBFFunction {
 public:
  using TktlDBFFunction::TktlDBFFunction;
  std::string Name() const override { return "TYPE"; }
  bool Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) override;
};

// FIELDNO(name): the 1-based number of the named field, 0 when there is
// none (4).
class TktlDBFFieldNo : public TktlDBFFunction {
 public:
  using TktlDBFFunction::TktlDBFFunction;
  std::string Name() const override { return "FIELDNO"; }
  bool Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) override;
};

class TktDBFExpUserLink : public TktExpUserLink {
 public:
  // The table functions, then one variable per long field name and one
  // per field, each in field order.
  explicit TktDBFExpUserLink(KTO_dBaseFld& table);
  KTO_dBaseFld& Table() const { return table_; }
  // Besides FIELD and _FIELD, the table's alias: its file name without
  // folder and extension, each character that cannot stand in a name
  // written as "_" (the alias ntx_char of ntx-char.dbf).
  bool IsOwnAlias(std::string_view name) const override;

 private:
  KTO_dBaseFld& table_;
};

}  // namespace tessera
