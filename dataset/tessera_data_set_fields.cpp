// TTesseraDataSet: field definitions and field values, the code pages of
// texts, and blob streams over memo fields.
#include "dataset/tessera_data_set.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "dataset/dataset_messages.h"
#include "dataset/dbf_object.h"
#include "dataset/ts_blob_stream.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"
#include "engine/dbf_table.h"
#include "platform/codepage.h"
#include "platform/text_codepage.h"
#include "platform/text_convert.h"
#include "platform/text_list.h"

namespace tessera {

using dbkit::DataSetState;
using dbkit::FieldType;
using dbkit::RaiseDatabaseError;

namespace {

// The engine's date-time value of a T field counts milliseconds from the
// day before 1 January of year 1; the framework's counts days from
// 30 December 1899, which lies 693 594 days later.
constexpr double kMsPerDay = 86400000.0;
constexpr double kHostEpochFromYearOne = 693594.0;

// What ends the text of a field: blanks, and the NULs some programs pad with.
constexpr std::string_view kBlanksAndNuls{" \0", 2};

// "yyyymmdd" of a framework day number; empty when it is no calendar date.
std::string StorageDate(int32_t days) {
  const plat::CivilDate d = plat::CivilFromSerial(days);
  if (!plat::IsValidDate(d.year, d.month, d.day) || d.year < 1 || d.year > 9999) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", d.year, d.month, d.day);
  return text;
}

}  // namespace

// ------------------------------------------------------------- field data

char* TTesseraDataSet::StateRecord() const {
  switch (State()) {
    case DataSetState::kBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
    case DataSetState::kEdit:
    case DataSetState::kInsert:
    case DataSetState::kNewValue: return ActiveBuffer();
    case DataSetState::kSetKey: return key_buffer_.get();
    case DataSetState::kCalcFields:
    case DataSetState::kInternalCalc: return CalcBuffer();
    case DataSetState::kFilter:
      if (FilterBuffer() != nullptr) return FilterBuffer();
      return table_ ? table_->RecordBuffer() : nullptr;
    case DataSetState::kOldValue:
      if (editing_ && table_) return table_->SavedRecordBuffer();
      return ActiveBuffer();
    case DataSetState::kInactive: return nullptr;
  }
  return nullptr;
}

bool TTesseraDataSet::GetFieldData(dbkit::Field* field, void* buffer) {
  char* rec = StateRecord();
  if (rec == nullptr || !table_) return false;
  const int size = field->DataSize();
  if (field->FieldNo() < 1) {
    const char* slot = rec + record_length_ + field->Offset();
    if (slot[0] == 0) return false;
    std::memcpy(buffer, slot + 1, static_cast<size_t>(size));
    return true;
  }
  std::memset(buffer, 0, static_cast<size_t>(size));
  const int n = field->FieldNo();
  RecordScope scope(table_.get(), rec);
  switch (field->DataType()) {
    case FieldType::kString: {
      const std::string text = std::string(plat::TrimRightOf(table_->GetTextN(n), kBlanksAndNuls));
      if (text.empty()) return false;
      std::memcpy(buffer, text.data(), std::min<size_t>(text.size(), static_cast<size_t>(field->Size())));
      return true;
    }
    case FieldType::kSmallInt: {
      const double v = std::round(table_->GetNumberN(n));
      const int16_t i = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
      std::memcpy(buffer, &i, 2);
      return true;
    }
    case FieldType::kInteger: {
      const double v = std::round(table_->GetNumberN(n));
      const int32_t i = static_cast<int32_t>(std::clamp(v, -2147483648.0, 2147483647.0));
      std::memcpy(buffer, &i, 4);
      return true;
    }
    case FieldType::kBoolean: {
      const uint16_t b = table_->GetLogicalN(n) ? 1 : 0;
      std::memcpy(buffer, &b, 2);
      return true;
    }
    case FieldType::kFloat: {
      const double v = table_->GetNumberN(n);
      std::memcpy(buffer, &v, 8);
      return true;
    }
    case FieldType::kDateTime: {
      const double ms = table_->GetNumberN(n);
      // An empty date-time (eight zero bytes) has no value.
      if (ms == 0) return false;
      const double days = ms / kMsPerDay - kHostEpochFromYearOne;
      std::memcpy(buffer, &days, 8);
      return true;
    }
    case FieldType::kDate: {
      const std::string raw = std::string(plat::TrimRightOf(table_->GetRawN(n), kBlanksAndNuls));
      if (raw.size() != 8 || raw == "00000000") return false;
      int y = 0, m = 0, d = 0;
      for (int i = 0; i < 8; ++i)
        if (raw[static_cast<size_t>(i)] < '0' || raw[static_cast<size_t>(i)] > '9') return false;
      y = std::stoi(raw.substr(0, 4));
      m = std::stoi(raw.substr(4, 2));
      d = std::stoi(raw.substr(6, 2));
      if (y < 1 || !plat::IsValidDate(y, m, d)) return false;
      const int32_t days = static_cast<int32_t>(plat::SerialFromCivil({y, m, d}));
      std::memcpy(buffer, &days, 4);
      return true;
    }
    case FieldType::kMemo:
    case FieldType::kBlob: {
      const int32_t block = table_->MemoBlock(n);
      if (block == 0) return false;
      std::memcpy(buffer, &block, 4);
      return true;
    }
    case FieldType::kUnknown: return false;
  }
  return false;
}

void TTesseraDataSet::SetFieldData(dbkit::Field* field, const void* buffer) {
  const DataSetState s = State();
  switch (s) {
    case DataSetState::kEdit:
    case DataSetState::kInsert:
    case DataSetState::kSetKey:
    case DataSetState::kCalcFields:
    case DataSetState::kFilter:
    case DataSetState::kNewValue:
    case DataSetState::kInternalCalc: break;
    default: RaiseDatabaseError(dbkit::msg::kNotEditing);
  }
  if (s == DataSetState::kSetKey && field->FieldNo() > 0 && table_ && table_->FieldCount() > 0 &&
      !GetIsIndexField(field))
    RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kNotIndexField, {field->DisplayName()}));
  char* rec = StateRecord();
  if (rec == nullptr || !table_) RaiseDatabaseError(dbkit::msg::kNotEditing);
  if (field->FieldNo() < 1) {
    char* slot = rec + record_length_ + field->Offset();
    slot[0] = buffer != nullptr ? 1 : 0;
    if (buffer != nullptr)
      std::memcpy(slot + 1, buffer, static_cast<size_t>(field->DataSize()));
    else
      std::memset(slot + 1, 0, static_cast<size_t>(field->DataSize()));
  } else {
    if (s == DataSetState::kCalcFields) RaiseDatabaseError(dbkit::msg::kNotEditing);
    if (field->ReadOnly() && s != DataSetState::kSetKey && s != DataSetState::kFilter)
      RaiseDatabaseError(dbkit::FormatMessage(dbkit::msg::kFieldReadOnly, {field->DisplayName()}));
    field->Validate(buffer);
    if (field->Kind() != dbkit::FieldKind::kInternalCalc) {
      const int n = field->FieldNo();
      RecordScope scope(table_.get(), rec);
      switch (field->DataType()) {
        case FieldType::kString: {
          std::string text;
          if (buffer != nullptr) {
            const char* p = static_cast<const char*>(buffer);
            text.assign(p, strnlen(p, static_cast<size_t>(field->Size())));
          }
          table_->PutTextN(n, text);
          break;
        }
        case FieldType::kSmallInt: {
          int16_t v = 0;
          if (buffer != nullptr) std::memcpy(&v, buffer, 2);
          table_->PutNumberN(n, v);
          break;
        }
        case FieldType::kInteger: {
          int32_t v = 0;
          if (buffer != nullptr) std::memcpy(&v, buffer, 4);
          table_->PutNumberN(n, v);
          break;
        }
        case FieldType::kBoolean: {
          uint16_t v = 0;
          if (buffer != nullptr) std::memcpy(&v, buffer, 2);
          table_->PutLogicalN(n, v != 0);
          break;
        }
        case FieldType::kFloat: {
          double v = 0;
          if (buffer != nullptr) std::memcpy(&v, buffer, 8);
          table_->PutNumberN(n, v);
          break;
        }
        case FieldType::kDateTime: {
          double days = 0;
          if (buffer != nullptr) std::memcpy(&days, buffer, 8);
          const double ms = buffer == nullptr ? 0.0 : std::round((days + kHostEpochFromYearOne) * kMsPerDay);
          table_->PutNumberN(n, ms);
          break;
        }
        case FieldType::kDate: {
          std::string text;
          if (buffer != nullptr) {
            int32_t days = 0;
            std::memcpy(&days, buffer, 4);
            text = StorageDate(days);
          }
          if (text.empty()) text = "        ";
          table_->PutRawN(n, text);
          break;
        }
        case FieldType::kMemo:
        case FieldType::kBlob: {
          int32_t block = 0;
          if (buffer != nullptr) std::memcpy(&block, buffer, 4);
          if (block == 0)
            table_->PutRawN(n, "");
          else
            table_->PutNumberN(n, block);
          break;
        }
        case FieldType::kUnknown: break;
      }
    }
  }
  if (s != DataSetState::kSetKey && s != DataSetState::kCalcFields && s != DataSetState::kFilter &&
      s != DataSetState::kNewValue)
    DataEvent(dbkit::DataEventKind::kFieldChange, field);
}

bool TTesseraDataSet::GetCurrentRecord(char* buffer) {
  if (State() == DataSetState::kInactive || IsEmpty() || ActiveBuffer() == nullptr) return false;
  std::memcpy(buffer, ActiveBuffer(), static_cast<size_t>(record_length_));
  return true;
}

void TTesseraDataSet::ClearCalcFields(char* buffer) {
  std::memset(buffer + record_length_, 0, static_cast<size_t>(CalcFieldsSize()));
}

int TTesseraDataSet::Translate(const char* src, char* dst, bool to_storage) {
  const size_t n = std::strlen(src);
  if (translate_ascii_) {
    if (to_storage)
      plat::AnsiToTableBuffer(TableCodePage(), src, dst, n);
    else
      plat::TableToAnsiBuffer(TableCodePage(), src, dst, n);
    dst[n] = '\0';
  } else if (src != dst) {
    std::memmove(dst, src, n + 1);
  }
  return static_cast<int>(n);
}

std::string TTesseraDataSet::ToOem(std::string_view text) const {
  return translate_ascii_ ? plat::AnsiToTable(TableCodePage(), text) : std::string(text);
}

void TTesseraDataSet::SetCodePage(int value) {
  CheckInactive();
  code_page_ = value;
}

int TTesseraDataSet::TableCodePage() const {
  if (table_) return table_->TextCodePage();
  return code_page_ != 0 ? code_page_ : plat::kCodePageOem;
}

// ------------------------------------------------------- field definitions

void TTesseraDataSet::InternalInitFieldDefs() {
  dbkit::FieldDefs& defs = GetFieldDefs();
  defs.Clear();
  if (!table_) return;
  for (int n = 1; n <= table_->FieldCount(); ++n) {
    const DbfField& f = table_->Field(n);
    FieldType type = FieldType::kUnknown;
    int size = 0;
    switch (f.type) {
      case 'C':
        type = FieldType::kString;
        size = f.Width();
        break;
      case 'D': type = FieldType::kDate; break;
      case 'N':
      case 'F':
        if (f.Decimals() > 0)
          type = FieldType::kFloat;
        else
          type = f.Width() < 5 ? FieldType::kSmallInt : FieldType::kInteger;
        break;
      case 'I': type = FieldType::kInteger; break;
      case 'L': type = FieldType::kBoolean; break;
      case 'M': type = FieldType::kMemo; break;
      // In FoxPro tables (version 0x30) B holds a double, not a memo.
      case 'B': type = table_->Version() == 0x30 ? FieldType::kFloat : FieldType::kBlob; break;
      case 'G': type = FieldType::kBlob; break;
      case 'T': type = FieldType::kDateTime; break;
      default: break;
    }
    if (type == FieldType::kUnknown) continue;
    dbkit::FieldDef& def = defs.Add(f.Name(), type, size);
    // Fields the dataset does not show are skipped, so a definition's
    // number is the table's field number, not its place in the list.
    def.field_no = n;
  }
  defs.updated = true;
}

// ----------------------------------------------------------- search texts

// The text LocateValues compares a field with: table texts for text
// fields, "yyyymmdd" for dates, "T"/"F" for logicals.
FieldValue TTesseraDataSet::LocateText(const dbkit::Field* field, const dbkit::Value& value) const {
  if (value.IsNull()) return std::nullopt;
  switch (field->DataType()) {
    case FieldType::kString:
    case FieldType::kMemo: return translate_ascii_ ? plat::AnsiToTable(TableCodePage(), value.ToText()) : value.ToText();
    case FieldType::kDate:
    case FieldType::kDateTime:
      if (value.kind() == dbkit::Value::Kind::kDateTime || value.kind() == dbkit::Value::Kind::kFloat ||
          value.kind() == dbkit::Value::Kind::kInteger)
        return StorageDate(static_cast<int32_t>(std::floor(value.ToFloat())));
      return value.ToText();
    case FieldType::kBoolean:
      if (value.kind() == dbkit::Value::Kind::kBoolean) return std::string(value.ToBoolean() ? "T" : "F");
      return value.ToText();
    default: return value.ToText();
  }
}

// -------------------------------------------------------------- blob stream

std::unique_ptr<dbkit::BlobStream> TTesseraDataSet::CreateBlobStream(dbkit::Field* field,
                                                                     dbkit::BlobStreamMode mode) {
  return std::make_unique<TTSBlobStream>(field, mode);
}

}  // namespace tessera
