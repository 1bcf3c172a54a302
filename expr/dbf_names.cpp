#include "expr/dbf_names.h"

#include <cstring>

#include "engine/dbf_fields.h"
#include "expr/exp_nodes.h"
#include "expr/tokenizer.h"

namespace tessera {

TktlDBFFieldVars::TktlDBFFieldVars(KTO_dBaseFld& table, const DbfField& field)
    : TktlDBFFieldVars(table, field, field.Name()) {}

TktlDBFFieldVars::TktlDBFFieldVars(KTO_dBaseFld& table, const DbfField& field, const std::string& name)
    // A character field is as wide as its length and decimals bytes make
    // it; other fields have the length byte as width.
    : TktUserDefFieldVar(UpperName(name), field.type == 'C' ? field.decimals * 256 + field.length : field.length, 0),
      table_(table),
      number_(field.number),
      type_letter_(field.type),
      binary_number_(table.IsBinaryField(field) && (field.type == 'I' || field.type == 'Y' || field.type == 'B' ||
                                                     field.type == '+' || field.type == 'O')) {}

bool TktlDBFFieldVars::GetValue(TktExpValue& value, uint8_t& type) {
  if (binary_number_) {
    // Visual FoxPro integers, currency and doubles are held in binary; as
    // raw text they would be no value at all.
    value.SetReal(table_.GetNumberN(number_));
    type = kExpNumber;
    return true;
  }
  switch (type_letter_) {
    case 'C': {
      // Straight from the record buffer: this is the hot path of key
      // building. Like GetRawN, the text ends at a zero byte.
      const DbfField& f = table_.Field(number_);
      const char* p = table_.RecordBytes() + f.offset;
      const size_t width = static_cast<size_t>(f.Width());
      const void* nul = std::memchr(p, '\0', width);
      const size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - p) : width;
      value.MutableText().assign(p, n);
      type = kExpText;
      return true;
    }
    case 'D':
      value.SetReal(table_.GetDateN(number_));
      type = kExpDate;
      return true;
    case 'F':
    case 'N':
      value.SetReal(table_.GetNumberN(number_));
      type = kExpNumber;
      return true;
    case 'L':
      value.SetLogical(table_.GetLogicalN(number_));
      type = kExpLogical;
      return true;
    case 'M': {
      std::string& text = value.MutableText();
      text.clear();
      if (table_.MemoSize(number_) >= 1) {
        text = table_.MemoText(number_);
        const size_t zero = text.find('\0');
        if (zero != std::string::npos) text.resize(zero);
      }
      type = kExpText;
      return true;
    }
    case 'V':
      // Visual FoxPro varchar: the value as long as it is.
      value.SetText(table_.GetRawN(number_));
      type = kExpText;
      return true;
    default:
      value.SetText(table_.GetRawN(number_));
      type = kExpRawField;
      return true;
  }
}

bool TktlDBFRecNo::Execute(TktExpFunction&, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  value.SetReal(table_.CurrentRecord());
  return true;
}

bool TktlDBFDeleted::Execute(TktExpFunction&, TktExpValue& value, uint8_t& type) {
  type = kExpLogical;
  value.SetLogical(table_.IsDeleted());
  return true;
}

bool TktlDBFBOF::Execute(TktExpFunction&, TktExpValue& value, uint8_t& type) {
  type = kExpLogical;
  value.SetLogical(table_.Bof());
  return true;
}

bool TktlDBFEOF::Execute(TktExpFunction&, TktExpValue& value, uint8_t& type) {
  type = kExpLogical;
  value.SetLogical(table_.Eof());
  return true;
}

bool TktlDBFType::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpText;
  call.RequireArg(0, value, kExpText);
  const std::string name = UpperName(value.AsText());
  const DbfField* field = table_.FindField(name);
  std::string& letter = value.MutableText();
  letter.clear();
  if (field != nullptr) letter.push_back(field->type);
  return true;
}

bool TktlDBFFieldNo::Execute(TktExpFunction& call, TktExpValue& value, uint8_t& type) {
  type = kExpNumber;
  call.RequireArg(0, value, kExpText);
  value.SetWhole(table_.FieldNumber(UpperName(value.AsText())));
  return true;
}

bool TktDBFExpUserLink::IsOwnAlias(std::string_view name) const {
  if (TktExpUserLink::IsOwnAlias(name)) return true;
  std::string_view file = table_.FileName();
  const size_t slash = file.find_last_of("/\\");
  if (slash != std::string_view::npos) file.remove_prefix(slash + 1);
  const size_t dot = file.rfind('.');
  if (dot != std::string_view::npos && dot > 0) file = file.substr(0, dot);
  std::string alias = UpperName(file);
  for (char& c : alias)
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) c = '_';
  return !alias.empty() && alias == name;
}

TktDBFExpUserLink::TktDBFExpUserLink(KTO_dBaseFld& table) : table_(table) {
  AddFunction(std::make_unique<TktlDBFRecNo>(table));
  AddFunction(std::make_unique<TktlDBFDeleted>(table));
  AddFunction(std::make_unique<TktlDBFBOF>(table));
  AddFunction(std::make_unique<TktlDBFEOF>(table));
  AddFunction(std::make_unique<TktlDBFType>(table));
  AddFunction(std::make_unique<TktlDBFFieldNo>(table));
  // The long names of a table in a database container come first: they are
  // the names its users and its index tags write, and one of them may
  // equal the short name of another field.
  for (int i = 1; i <= table.FieldCount(); ++i) {
    const DbfField& field = table.Field(i);
    if (!field.long_name.empty()) AddFieldVar(std::make_unique<TktlDBFFieldVars>(table, field, field.long_name));
  }
  for (int i = 1; i <= table.FieldCount(); ++i) AddFieldVar(std::make_unique<TktlDBFFieldVars>(table, table.Field(i)));
}

}  // namespace tessera
