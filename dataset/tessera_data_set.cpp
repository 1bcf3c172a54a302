#include "dataset/tessera_data_set.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "dataset/alias_list.h"
#include "dataset/dataset_messages.h"
#include "dataset/dbf_object.h"
#include "dataset/ts_blob_stream.h"
#include "dbkit/data_source.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"
#include "dbkit/master_data_link.h"
#include "engine/dbf_table.h"
#include "expr/dbf_names.h"
#include "expr/exp_handler.h"
#include "index/index_file.h"
#include "index/index_repair.h"
#include "index/index_tag.h"
#include "platform/codepage.h"
#include "platform/text_codepage.h"
#include "platform/path.h"
#include "platform/text_convert.h"

namespace tessera {

using dbkit::BookmarkFlag;
using dbkit::DataSetState;
using dbkit::FieldType;
using dbkit::GetMode;
using dbkit::GetResult;
using dbkit::RaiseDatabaseError;

namespace {

// The engine's date-time value of a T field counts milliseconds from the
// day before 1 January of year 1; the framework's counts days from
// 30 December 1899, which lies 693 594 days later.
constexpr double kMsPerDay = 86400000.0;
constexpr double kHostEpochFromYearOne = 693594.0;

std::string TrimRight(std::string t) {
  while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
  return t;
}

bool HasExtension(std::string_view name) {
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  return dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash) &&
         dot + 1 < name.size();
}

std::string Trimmed(std::string_view t) {
  while (!t.empty() && t.front() == ' ') t.remove_prefix(1);
  while (!t.empty() && t.back() == ' ') t.remove_suffix(1);
  return std::string(t);
}

// Splits "A;B" (the format of field name lists) into trimmed names.
std::vector<std::string> SplitList(std::string_view names) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string part = Trimmed(names.substr(start, end - start));
    if (!part.empty()) out.push_back(std::move(part));
    start = end + 1;
  }
  return out;
}

// "yyyymmdd" of a framework day number; empty when it is no calendar date.
std::string StorageDate(int32_t days) {
  const plat::CivilDate d = plat::CivilFromSerial(days);
  if (!plat::IsValidDate(d.year, d.month, d.day) || d.year < 1 || d.year > 9999) return {};
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", d.year, d.month, d.day);
  return text;
}

}  // namespace

TTesseraDataSet::TTesseraDataSet() {
  index_files_.OnChange = [this] { IndexFilesChanged(); };
  master_link_ = std::make_unique<dbkit::MasterDataLink>(this);
  master_link_->OnMasterChange = [this] { MasterChanged(); };
  master_link_->OnMasterDisable = [this] { MasterDisabled(); };
}

TTesseraDataSet::~TTesseraDataSet() {
  try {
    Close();
  } catch (...) {
    // Closing runs the program's events; a destructor cannot pass their
    // failures on. The cursor is closed in any case.
    if (table_) InternalClose();
  }
  index_files_.OnChange = nullptr;
}

// ------------------------------------------------------------- properties

void TTesseraDataSet::SetAutoFlush(bool value) {
  auto_flush_ = value;
  if (table_) table_->SetAutoFlush(value);
}

void TTesseraDataSet::SetDatabaseName(std::string_view value) {
  if (value == database_name_) return;
  CheckInactive();
  if (dbkit::SameName(value, kDefaultDirectoryAlias)) {
    database_name_ = std::string(value);
    return;
  }
  std::string name = plat::UpperName(value);
  if (name.size() > 1 && name.back() == '/') name.pop_back();
  if (name == database_name_) return;
  if (!name.empty() && !TAliasList::Instance().Find(name)) TAliasList::Instance().Add(name, name);
  database_name_ = std::move(name);
}

void TTesseraDataSet::SetEncryptionKey(std::string_view value) {
  if (value == encryption_key_) return;
  CheckInactive();
  encryption_key_ = std::string(value);
}

void TTesseraDataSet::SetExclusive(bool value) {
  if (value == exclusive_) return;
  CheckInactive();
  exclusive_ = value;
}

void TTesseraDataSet::SetReadOnly(bool value) {
  if (value == read_only_) return;
  CheckInactive();
  read_only_ = value;
}

void TTesseraDataSet::SetTableName(std::string_view value) {
  if (value == table_name_) return;
  CheckInactive();
  table_name_ = std::string(value);
  // Index files belong to the table they were opened with. Nothing to check
  // against the new table, so the list's notification is held back.
  suppress_index_change_ = true;
  index_files_.Clear();
  suppress_index_change_ = false;
}

void TTesseraDataSet::SetUseDeleted(bool value) {
  use_deleted_ = value;
  if (table_) table_->SetUseDeleted(value);
}

void TTesseraDataSet::SetLockProtocol(TktLokProtocol value) {
  lock_protocol_ = value;
  if (table_) table_->SetLockProtocol(value);
}

void TTesseraDataSet::SetUserID(int32_t value) {
  user_id_ = value;
  if (table_) table_->SetUserId(value);
}

const std::string& TTesseraDataSet::MasterFields() const { return master_link_->FieldNames(); }

void TTesseraDataSet::SetMasterFields(std::string_view value) { master_link_->SetFieldNames(std::string(value)); }

dbkit::DataSource* TTesseraDataSet::MasterSource() const { return master_link_->GetDataSource(); }

void TTesseraDataSet::SetMasterSource(dbkit::DataSource* source) {
  if (source != nullptr && IsLinkedTo(source)) RaiseDatabaseError(dsmsg::kCircularLinks);
  master_link_->SetDataSource(source);
}

const dbkit::IndexDefs& TTesseraDataSet::IndexDefs() {
  if (!GetIndexDefs().updated && table_) UpdateIndexDefs();
  return GetIndexDefs();
}

std::string TTesseraDataSet::TableDirectory() const {
  if (database_name_.empty()) return {};
  return ResolveDatabaseDirectory(database_name_);
}

std::string TTesseraDataSet::FullTableName() const {
  std::string name = Trimmed(table_name_);
  if (name.empty()) return {};
  if (!HasExtension(name)) name += ".DBF";
  if (name.find('/') != std::string::npos) return name;
  return TableDirectory() + name;
}

// ----------------------------------------------------------------- filter

void TTesseraDataSet::ApplyFilterToTable() {
  const dbkit::FilterOptions o = GetFilterOptions();
  // The expression compares with table texts: its literals are given in
  // the window's code page like every other text of the dataset.
  table_->SetFilterExpression(ToOem(Filter()), (o & dbkit::kFoCaseInsensitive) != 0, (o & dbkit::kFoNoPartialCompare) == 0);
}

void TTesseraDataSet::SetFiltered(bool value) {
  if (!table_) {
    DataSet::SetFiltered(value);
    return;
  }
  CheckBrowseMode();
  if (value != Filtered()) {
    DataSet::SetFiltered(value);
    table_->SetFilterActive(value);
    if (value) {
      try {
        ApplyFilterToTable();
      } catch (...) {
        // A filter that cannot be applied leaves the dataset unfiltered
        // rather than claiming a filter the table does not hold.
        DataSet::SetFiltered(false);
        table_->SetFilterActive(false);
        throw;
      }
    }
  }
  First();
}

void TTesseraDataSet::SetFilterText(std::string value) {
  if (!table_ || !Filtered()) {
    DataSet::SetFilterText(std::move(value));
    return;
  }
  CheckBrowseMode();
  const std::string old = Filter();
  DataSet::SetFilterText(std::move(value));
  table_->SetFilterActive(true);
  try {
    ApplyFilterToTable();
  } catch (...) {
    DataSet::SetFilterText(old);
    try {
      ApplyFilterToTable();
    } catch (...) {
    }
    First();
    throw;
  }
  First();
}

void TTesseraDataSet::SetFilterOptions(dbkit::FilterOptions value) {
  if (!table_ || !Filtered()) {
    DataSet::SetFilterOptions(value);
    return;
  }
  CheckBrowseMode();
  DataSet::SetFilterOptions(value);
  table_->SetFilterActive(true);
  ApplyFilterToTable();
  First();
}

bool TTesseraDataSet::AcceptRecord() {
  if (!Filtered() || !OnFilterRecord || State() == DataSetState::kInactive || !table_) return true;
  // The event sees the record being tested through the fields, in the
  // filter state (GetFieldData reads the table's current record then).
  char* saved_buffer = FilterBuffer();
  SetFilterBuffer(table_->RecordBuffer());
  const DataSetState saved = SetTempState(DataSetState::kFilter);
  bool accept = true;
  try {
    OnFilterRecord(*this, accept);
  } catch (...) {
    RestoreState(saved);
    SetFilterBuffer(saved_buffer);
    throw;
  }
  RestoreState(saved);
  SetFilterBuffer(saved_buffer);
  return accept;
}

void TTesseraDataSet::ReportStatus(int32_t stat1, int32_t stat2, int32_t stat3) {
  if (OnStatus) OnStatus(stat1, stat2, stat3);
}

// ------------------------------------------------------------ active check

void TTesseraDataSet::CheckBusy() const {
  if (busy_ == kBusyIndexing) RaiseDatabaseError(dsmsg::kBusyIndexing);
  if (busy_ == kBusyCopying) RaiseDatabaseError(dsmsg::kBusyCopying);
}

void TTesseraDataSet::CheckActive() const {
  if (refreshing_index_defs_) return;
  DataSet::CheckActive();
  CheckBusy();
}

// ---------------------------------------------------------- record buffers

int32_t TTesseraDataSet::BufferRecNo(const char* buffer) const {
  int32_t recno = 0;
  std::memcpy(&recno, buffer + RecNoOffset(), 4);
  return recno;
}

std::unique_ptr<char[]> TTesseraDataSet::AllocRecordBuffer() {
  const size_t size = static_cast<size_t>(BufferSize());
  auto buffer = std::make_unique<char[]>(size);
  std::memset(buffer.get(), 0, size);
  return buffer;
}

void TTesseraDataSet::FreeRecordBuffer(std::unique_ptr<char[]>& buffer) {
  // The table must never be left reading into a buffer that is gone.
  if (table_ && table_->RecordBuffer() == buffer.get()) table_->SetRecordBuffer(nullptr);
  buffer.reset();
}

int TTesseraDataSet::GetRecordSize() const { return record_length_; }

void TTesseraDataSet::FillTrailer(char* buffer) {
  const int32_t recno = table_->CurrentRecord();
  std::memcpy(buffer + RecNoOffset(), &recno, 4);
  buffer[FlagOffset()] = static_cast<char>(BookmarkFlag::kCurrent);
  char text[kBookmarkSize + 1];
  std::snprintf(text, sizeof text, "%10d", static_cast<int>(recno));
  std::memcpy(buffer + BookmarkOffset(), text, kBookmarkSize);  // ten digits and the NUL
  GetCalcFields(buffer);
}

GetResult TTesseraDataSet::GetRecord(char* buffer, GetMode mode, bool do_check) {
  if (!table_) return GetResult::kError;
  GetResult result = GetResult::kOk;
  {
    RecordScope scope(table_.get(), buffer);
    try {
      switch (mode) {
        case GetMode::kNext:
          table_->GotoRecord(at_first_ ? kMoveFirst : kMoveNext);
          at_first_ = at_last_ = false;
          break;
        case GetMode::kPrior:
          // Before the first record there is nothing before.
          if (at_first_) return GetResult::kBof;
          table_->GotoRecord(at_last_ ? kMoveLast : kMovePrior);
          at_last_ = false;
          break;
        case GetMode::kCurrent:
          if (at_first_ || at_last_)
            result = GetResult::kError;
          else
            table_->GotoRecord(kMoveCurrent);
          break;
      }
    } catch (const std::exception&) {
      // A failed read with checking asked for passes the engine's own
      // message on: it says what went wrong with which file.
      if (do_check) throw;
      result = GetResult::kError;
    }
    if (result == GetResult::kOk) {
      if (table_->Eof())
        result = GetResult::kEof;
      else if (table_->Bof())
        result = GetResult::kBof;
      else if (table_->CurrentRecord() < 1 || table_->CurrentRecord() > table_->RecordCount())
        result = GetResult::kError;
      else
        FillTrailer(buffer);
    }
  }
  if (result == GetResult::kError && do_check) RaiseDatabaseError(dsmsg::kBeyondRange);
  return result;
}

void TTesseraDataSet::GetBookmarkData(const char* buffer, char* data) const {
  std::memcpy(data, buffer + BookmarkOffset(), kBookmarkSize);
}

void TTesseraDataSet::SetBookmarkData(char* buffer, const char* data) {
  std::memcpy(buffer + BookmarkOffset(), data, kBookmarkSize);
}

BookmarkFlag TTesseraDataSet::GetBookmarkFlag(const char* buffer) const {
  return static_cast<BookmarkFlag>(buffer[FlagOffset()]);
}

void TTesseraDataSet::SetBookmarkFlag(char* buffer, BookmarkFlag flag) {
  buffer[FlagOffset()] = static_cast<char>(flag);
}

int32_t TTesseraDataSet::BookmarkRecNo(const char* bookmark) const {
  // Blanks, then one to ten digits, then NUL: nothing else is a bookmark.
  int i = 0;
  while (i < kBookmarkSize - 1 && bookmark[i] == ' ') ++i;
  if (i == kBookmarkSize - 1) return 0;
  int64_t n = 0;
  for (; i < kBookmarkSize - 1; ++i) {
    const char c = bookmark[i];
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  if (bookmark[kBookmarkSize - 1] != '\0') return 0;
  if (!table_ || n < 1 || n > table_->RecordCount()) return 0;
  return static_cast<int32_t>(n);
}

int TTesseraDataSet::CompareBookmarks(const dbkit::Bookmark& a, const dbkit::Bookmark& b) const {
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool TTesseraDataSet::BookmarkValid(const dbkit::Bookmark& bookmark) const {
  if (static_cast<int>(bookmark.size()) != kBookmarkSize || !table_) return false;
  return BookmarkRecNo(bookmark.data()) != 0;
}

void TTesseraDataSet::InternalGotoBookmark(const char* bookmark) {
  // A bookmark that is no record number of this table is refused before
  // anything is read: reading "record 0" or one past the end would show a
  // record that is not there.
  const int32_t recno = BookmarkRecNo(bookmark);
  if (recno == 0) RaiseDatabaseError(std::string(dsmsg::kInvalidBookmark) + table_name_);
  at_first_ = at_last_ = false;
  table_->GotoRecord(recno);
}

void TTesseraDataSet::InternalSetToRecord(char* buffer) { InternalGotoBookmark(buffer + BookmarkOffset()); }

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
      const std::string text = TrimRight(table_->GetTextN(n));
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
      const std::string raw = TrimRight(table_->GetRawN(n));
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
    default: RaiseDatabaseError(dsmsg::kNotEditing);
  }
  if (s == DataSetState::kSetKey && field->FieldNo() > 0 && table_ && table_->FieldCount() > 0 &&
      !GetIsIndexField(field))
    RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kNotIndexField, {field->DisplayName()}));
  char* rec = StateRecord();
  if (rec == nullptr || !table_) RaiseDatabaseError(dsmsg::kNotEditing);
  if (field->FieldNo() < 1) {
    char* slot = rec + record_length_ + field->Offset();
    slot[0] = buffer != nullptr ? 1 : 0;
    if (buffer != nullptr)
      std::memcpy(slot + 1, buffer, static_cast<size_t>(field->DataSize()));
    else
      std::memset(slot + 1, 0, static_cast<size_t>(field->DataSize()));
  } else {
    if (s == DataSetState::kCalcFields) RaiseDatabaseError(dsmsg::kNotEditing);
    if (field->ReadOnly() && s != DataSetState::kSetKey && s != DataSetState::kFilter)
      RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kFieldReadOnly, {field->DisplayName()}));
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

// ------------------------------------------------------ open and close

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

void TTesseraDataSet::InternalOpen() {
  opening_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{opening_};
  if (Trimmed(table_name_).empty()) RaiseDatabaseError(dsmsg::kTableNameMissing);
  if (!HasExtension(Trimmed(table_name_))) table_name_ = Trimmed(table_name_) + ".DBF";
  const std::string full = FullTableName();
  if (!plat::FileExists(full)) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kCannotFindFile, {plat::ResolveCase(plat::FullPath(full))}));
  // A table file that may not be written is opened read-only, and the
  // dataset then cannot be modified.
  read_only_by_file_ = false;
  bool writable = !read_only_;
  if (writable && ::access(plat::ResolveCase(full).c_str(), W_OK) != 0) {
    writable = false;
    read_only_by_file_ = true;
  }
  table_ = std::make_unique<DBFObject>(full, !exclusive_, writable, encryption_key_, this);
  table_->SetAutoFlush(auto_flush_);
  table_->SetUseDeleted(use_deleted_);
  if (read_cache_option_ != 0) table_->SetReadCacheAllowed(false);
  table_->SetLockProtocol(lock_protocol_);
  table_->SetUserId(user_id_);
  if (code_page_ != 0) table_->SetTextCodePage(code_page_);
  record_length_ = table_->RecordLength();

  InternalInitFieldDefs();
  if (DefaultFields()) {
    CreateFields();
    // Memo texts are table texts like any other: shown in the window's
    // code page.
    for (int i = 0; i < FieldCount(); ++i)
      if (Fields(i)->DataType() == FieldType::kMemo) Fields(i)->SetTransliterate(true);
  }
  BindFields(true);
  SetBookmarkSize(kBookmarkSize);
  key_buffer_ = AllocRecordBuffer();

  if (Filtered()) {
    table_->SetFilterActive(true);
    ApplyFilterToTable();
  }
  at_first_ = true;
  at_last_ = false;
  OpenIndexFiles();
  editing_ = false;
  SetMasterRange();
}

void TTesseraDataSet::InternalClose() {
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  if (table_ && editing_) table_->UnlockTable();
  editing_ = false;
  table_.reset();
  key_buffer_.reset();
  read_only_by_file_ = false;
  GetIndexDefs().Clear();
  GetIndexDefs().updated = false;
  key_range_set_ = false;
}

bool TTesseraDataSet::IsCursorOpen() const { return table_ != nullptr; }

bool TTesseraDataSet::GetCanModify() const { return !read_only_ && !read_only_by_file_; }

// ------------------------------------------------------------ index files

std::string TTesseraDataSet::IndexFilePath(std::string_view name) const {
  std::string n = Trimmed(name);
  if (!HasExtension(n)) n += ".NDX";
  if (n.find('/') == std::string::npos) n = TableDirectory() + n;
  // As spelled on disk (as given where nothing is there yet): the engine
  // compares file names without regard to letter case, and messages show
  // the name the user can find.
  return plat::ResolveCase(plat::FullPath(n));
}

void TTesseraDataSet::OpenIndexFiles() {
  GetIndexDefs().updated = false;
  GetIndexDefs().Clear();
  if (index_files_.Empty() || !table_) return;
  table_->CloseIndexFiles();
  for (const std::string& entry : index_files_.Strings()) {
    const std::string full = IndexFilePath(entry);
    if (!plat::FileExists(full)) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kCannotFindFile, {full}));
    // An index already open is accepted here: the list may name it twice.
    if (table_->OpenIndexFile(full) > 0) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kErrorGetting, {full}));
  }
  UpdateIndexDefs();
  table_->SelectMasterTag(index_name_, false);
  at_first_ = true;
  at_last_ = false;
}

void TTesseraDataSet::IndexFilesChanged() {
  if (suppress_index_change_ || opening_) return;
  const bool was_open = Active();
  if (!table_) {
    try {
      Open();
    } catch (...) {
    }
  }
  struct Restore {
    TTesseraDataSet* ds;
    bool was_open;
    ~Restore() {
      if (!was_open && ds->Active()) {
        try {
          ds->Close();
        } catch (...) {
        }
      }
    }
  } restore{this, was_open};
  if (!table_) return;
  if (was_open) CheckBrowseMode();
  GetIndexDefs().updated = false;
  GetIndexDefs().Clear();
  table_->CloseIndexFiles();
  if (index_files_.Empty()) {
    index_name_.clear();
  } else {
    for (const std::string& entry : index_files_.Strings()) {
      const std::string full = IndexFilePath(entry);
      if (!plat::FileExists(full)) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kCannotFindFile, {full}));
      const int32_t r = table_->OpenIndexFile(full);
      if (r == -1) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kIndexAlreadyOpen, {full}));
      if (r != 0) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kErrorGetting, {full}));
    }
    UpdateIndexDefs();
  }
  if (was_open) SelectIndex(false);
}

void TTesseraDataSet::UpdateIndexDefs() {
  refreshing_index_defs_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{refreshing_index_defs_};
  dbkit::IndexDefs& defs = GetIndexDefs();
  defs.Clear();
  if (!table_) return;
  for (int n = 1;; ++n) {
    KTobjIndexTag* tag = table_->TagByNumber(n);
    if (tag == nullptr) break;
    const std::string& expr = tag->KeyExpression();
    dbkit::IndexOptions options = 0;
    if (tag->Unique()) options |= dbkit::kIxUnique;
    if (tag->Descending()) options |= dbkit::kIxDescending;
    if (expr.find('(') != std::string::npos) {
      dbkit::IndexDef& def = defs.Add(tag->Name(), expr, options | dbkit::kIxExpression);
      def.expression = expr;
    } else {
      std::string fields;
      for (char c : expr) {
        if (c == ' ') continue;
        fields += (c == '+' || c == '-') ? ';' : c;
      }
      defs.Add(tag->Name(), fields, options);
    }
  }
  defs.updated = true;
}

void TTesseraDataSet::SetIndexName(std::string_view value) {
  if (!table_) {
    index_name_ = std::string(value);
    return;
  }
  CheckBrowseMode();
  const std::string old = index_name_;
  index_name_ = std::string(value);
  try {
    SelectIndex(true);
  } catch (...) {
    index_name_ = old;
    throw;
  }
}

void TTesseraDataSet::SelectIndex(bool raise_select) {
  const int32_t recno = GetRecNo();
  try {
    table_->SelectMasterTag(index_name_, false);
  } catch (...) {
    if (raise_select) throw;
    index_name_.clear();
    table_->SelectMasterTag("", false);
  }
  if (recno > 0) table_->GotoRecord(recno);
  SetMasterRange();
  try {
    if (recno <= 0 || table_->OutsideOrder() || table_->Eof() || table_->Bof() || table_->CurrentRecord() != recno ||
        (!use_deleted_ && table_->IsDeleted())) {
      First();
    } else {
      at_first_ = at_last_ = false;
      CursorPosChanged();
      Resync(0);
    }
  } catch (const std::exception&) {
    // The order is chosen; the rows show what could be read.
  }
  DoAfterScroll();
}

TIndexFileReport TTesseraDataSet::InspectIndexFile(std::string_view index_file) {
  CheckActive();
  const std::string full = IndexFilePath(index_file);
  if (!plat::FileExists(full)) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kCannotFindFile, {full}));
  TIndexFileReport report;
  std::unique_ptr<KTobjIndexFile> file = MakeIndexFile(table_.get(), full, false, !exclusive_, false);
  if (file->Disk() == nullptr || file->Disk()->IsClosed())
    RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kErrorGetting, {full}));
  if (!file->Opened()) return report;
  report.readable = true;
  for (size_t i = 0; i < file->TagCount(); ++i) {
    const KTobjIndexTag& t = *file->TagAt(i);
    report.tags.push_back({t.Name(), t.KeyExpression(), t.ForExpression(), t.Unique(), t.Descending()});
  }
  report.interrupted = file->NeedsRebuild();
  report.faults = QuickCheckIndexFile(*table_, *file);
  return report;
}

int32_t TTesseraDataSet::TagCount() const {
  if (!table_) return 0;
  int32_t count = 0;
  for (int slot = 1; slot <= KTO_dBHandler::kIndexSlots; ++slot)
    if (KTobjIndexFile* f = table_->IndexFile(slot)) count += static_cast<int32_t>(f->TagCount());
  return count;
}

std::string TTesseraDataSet::TagName(int n) const {
  if (!table_ || n < 1) return {};
  KTobjIndexTag* tag = table_->TagByNumber(n);
  return tag != nullptr ? tag->Name() : std::string();
}

std::string TTesseraDataSet::TagExpression(int n) const {
  if (!table_ || n < 1) return {};
  KTobjIndexTag* tag = table_->TagByNumber(n);
  return tag != nullptr ? tag->KeyExpression() : std::string();
}

bool TTesseraDataSet::GetIsIndexField(const dbkit::Field* field) const {
  if (!table_ || table_->MasterTag() == nullptr || field == nullptr) return false;
  TktExpHandler expr(table_->NameResolver(), false, table_->MasterTag()->KeyExpression());
  const std::string name = plat::UpperName(field->FieldName());
  for (const std::string& n : SplitList(expr.ListVars(17)))
    if (plat::UpperName(n) == name) return true;
  return false;
}

void TTesseraDataSet::CreateIndexTag(std::string_view index_file, std::string_view tag_name,
                                     std::string_view key_expression, std::string_view for_expression, int uniqueness,
                                     int sort_order) {
  CheckBrowseMode();
  busy_ = kBusyIndexing;
  DisableControls();
  auto finish = [this] {
    GetIndexDefs().updated = false;
    busy_ = kBusyIdle;
    // The build closed the index files: the rows are in record order now.
    at_first_ = true;
    at_last_ = false;
    EnableControls();
  };
  try {
    table_->CreateIndexTag(IndexFilePath(index_file), tag_name, key_expression, for_expression, uniqueness,
                           sort_order);
  } catch (...) {
    finish();
    try {
      First();
    } catch (...) {
    }
    throw;
  }
  finish();
  First();
}

// ------------------------------------------------------------- navigation

void TTesseraDataSet::InternalFirst() {
  at_first_ = true;
  at_last_ = false;
}

void TTesseraDataSet::InternalLast() {
  at_first_ = false;
  table_->GotoRecord(kMoveLast);
  at_last_ = true;
}

int TTesseraDataSet::GetRecNo() const {
  if (!Active()) RaiseDatabaseError(dsmsg::kClosedDataSet);
  const char* buffer = State() == DataSetState::kCalcFields ? CalcBuffer() : ActiveBuffer();
  if (buffer == nullptr || (State() != DataSetState::kCalcFields && IsEmpty())) return 0;
  return BufferRecNo(buffer);
}

void TTesseraDataSet::SetRecNo(int value) {
  CheckBrowseMode();
  if (value < 1 || value > table_->RecordCount()) RaiseDatabaseError(dsmsg::kBeyondRange);
  DoBeforeScroll();
  at_first_ = at_last_ = false;
  table_->GotoRecord(value);
  CursorPosChanged();
  Resync(dbkit::kRmCenter);
  DoAfterScroll();
}

int TTesseraDataSet::GetRecordCount() {
  if (!table_) RaiseDatabaseError(dsmsg::kClosedDataSet);
  if (!exact_count_) return table_->RecordCount();
  const int32_t saved = table_->CurrentRecord();
  int count = 0;
  std::string scratch(static_cast<size_t>(record_length_) + 1, ' ');
  {
    RecordScope scope(table_.get(), scratch.data());
    for (table_->GotoRecord(kMoveFirst); !table_->Eof() && !table_->Bof(); table_->GotoRecord(kMoveNext)) ++count;
  }
  if (saved >= 1 && saved <= table_->RecordCount()) table_->GotoRecord(saved);
  CursorPosChanged();
  return count;
}

bool TTesseraDataSet::IsSequenced() const {
  return !table_ || (table_->MasterTag() == nullptr && !Filtered());
}

// ---------------------------------------------------------------- editing

void TTesseraDataSet::InternalInitRecord(char* buffer) {
  RecordScope scope(table_.get(), buffer);
  table_->BlankRecord();
  if (!editing_) std::memcpy(table_->SavedRecordBuffer(), buffer, static_cast<size_t>(record_length_));
}

void TTesseraDataSet::DoAfterInsert() {
  if (table_) {
    table_->SetEof(true);
    table_->SetBof(false);
  }
  DataSet::DoAfterInsert();
}

void TTesseraDataSet::InternalEdit() {
  char* buffer = ActiveBuffer();
  const int32_t recno = BufferRecNo(buffer);
  at_first_ = at_last_ = false;
  // Positioned first (the lock is taken on the current record), then
  // locked, then read again: what the edit starts from is the record as
  // it stands under the lock, and the index upkeep of the post takes its
  // old keys from that reading.
  changed_by_other_ = false;
  table_->GotoRecord(recno);
  if (!table_->LockRecord()) RaiseDatabaseError(dsmsg::kRecordLocked);
  const std::string shown(buffer, static_cast<size_t>(record_length_));
  bool deleted = false;
  try {
    RecordScope scope(table_.get(), buffer);
    table_->GotoRecord(recno);
    deleted = !use_deleted_ && table_->IsDeleted();
  } catch (...) {
    table_->UnlockTable();
    throw;
  }
  if (deleted) {
    // Another program deleted the card after it was shown: an edit would
    // write into a record nobody sees. The rows move on to the record that
    // now stands here, as after a delete of this dataset's own.
    table_->UnlockTable();
    table_->GotoRecord(kMoveCurrent);
    if (table_->Eof()) {
      table_->GotoRecord(kMovePrior);
      table_->SetEof(true);
    }
    CursorPosChanged();
    Resync(0);
    RaiseDatabaseError(dsmsg::kRecordDeleted);
  }
  changed_by_other_ = std::memcmp(shown.data(), buffer, static_cast<size_t>(record_length_)) != 0;
  editing_ = true;
}

void TTesseraDataSet::WriteFromBuffer(const char* buffer, int32_t recno) {
  // Written from the table's own record buffer: the index upkeep that runs
  // inside the write evaluates the old keys on the saved record and then
  // goes back to the table's own buffer for the new ones, so the new
  // record must be there.
  char* own = table_->RecordBuffer();
  std::memcpy(own, buffer, static_cast<size_t>(record_length_));
  if (recno > 0)
    table_->WriteRecord(recno);
  else
    table_->AppendRecord();
}

void TTesseraDataSet::InternalPost() {
  DataSet::InternalPost();
  const char* buffer = ActiveBuffer();
  const int32_t recno = State() == DataSetState::kEdit ? BufferRecNo(buffer) : 0;
  if (recno > 0 && !use_deleted_) {
    // The edit's lock keeps other programs of this engine from deleting
    // the record, but not one that writes without locking: a record that
    // is deleted on disk now is not written over.
    // The mark is read from the file itself, past any cache, without
    // moving the table (its saved record holds the old keys).
    char mark = ' ';
    if (table_->KTO_DiskFile::ReadAt(table_->RecordOffset(recno), &mark, 1) == 1 && mark == '*')
      RaiseDatabaseError(dsmsg::kRecordDeleted);
  }
  WriteFromBuffer(buffer, recno);
  if (editing_) table_->UnlockTable();
  editing_ = false;
  at_first_ = at_last_ = false;
}

void TTesseraDataSet::Post() {
  DataSet::Post();
  if (State() == DataSetState::kSetKey) SetState(DataSetState::kBrowse);
}

void TTesseraDataSet::InternalAddRecord(const char* buffer, bool /*append*/) {
  // xBase tables add records at the end only.
  WriteFromBuffer(buffer, 0);
  if (editing_) table_->UnlockTable();
  editing_ = false;
  at_first_ = at_last_ = false;
}

void TTesseraDataSet::InternalCancel() {
  if (editing_ && table_) table_->UnlockTable();
  editing_ = false;
}

void TTesseraDataSet::InternalDelete() {
  const int32_t recno = BufferRecNo(ActiveBuffer());
  const bool saved_use_deleted = table_->UseDeleted();
  table_->SetUseDeleted(true);
  struct Restore {
    DBFObject* t;
    bool v;
    ~Restore() { t->SetUseDeleted(v); }
  } restore{table_.get(), saved_use_deleted};
  at_first_ = at_last_ = false;
  // The mark is set on the record as it stands on disk, under its lock: a
  // record another process is editing is not overwritten with an old copy.
  table_->GotoRecord(recno);
  const bool own_lock = editing_;
  if (!own_lock && !table_->LockRecord()) RaiseDatabaseError(dsmsg::kRecordLocked);
  try {
    table_->GotoRecord(recno);
    table_->MarkDeleted();
  } catch (const std::exception&) {
    if (!own_lock) table_->UnlockTable();
    RaiseDatabaseError(dsmsg::kCannotDelete);
  }
  if (!own_lock) table_->UnlockTable();
  table_->SetUseDeleted(saved_use_deleted);
  // On to the record that now stands here; past the last one, back to the
  // new last record.
  table_->GotoRecord(kMoveCurrent);
  if (table_->Eof()) {
    table_->GotoRecord(kMovePrior);
    table_->SetEof(true);
  }
}

void TTesseraDataSet::Undelete() {
  CheckBrowseMode();
  if (IsEmpty()) return;
  UpdateCursorPos();
  const int32_t recno = BufferRecNo(ActiveBuffer());
  const bool saved_use_deleted = table_->UseDeleted();
  table_->SetUseDeleted(true);
  struct Restore {
    DBFObject* t;
    bool v;
    ~Restore() { t->SetUseDeleted(v); }
  } restore{table_.get(), saved_use_deleted};
  at_first_ = at_last_ = false;
  table_->GotoRecord(recno);
  if (!table_->LockRecord()) RaiseDatabaseError(dsmsg::kRecordLocked);
  try {
    table_->GotoRecord(recno);
    if (table_->IsDeleted()) table_->MarkRecalled();
  } catch (const std::exception&) {
    table_->UnlockTable();
    RaiseDatabaseError(dsmsg::kCannotRecall);
  }
  table_->UnlockTable();
  table_->SetUseDeleted(saved_use_deleted);
  table_->GotoRecord(recno);
  CursorPosChanged();
  Resync(0);
}

void TTesseraDataSet::InternalRefresh() {
  if (!IsEmpty() && ActiveBuffer() != nullptr) {
    const int32_t recno = BufferRecNo(ActiveBuffer());
    if (recno >= 1 && recno <= table_->RecordCount()) {
      RecordScope scope(table_.get(), ActiveBuffer());
      table_->GotoRecord(recno);
    }
  }
  table_->RebuildFilterSet();
}

// --------------------------------------------------------------- searches

bool TTesseraDataSet::SeekKeyText(std::string_view key, bool exact_key_only, bool stay_nearest) {
  CheckActive();
  table_->ExactKeyOnly = exact_key_only;
  table_->StayNearest = stay_nearest;
  at_first_ = at_last_ = false;
  CursorPosChanged();
  return table_->SeekKeyText(ToOem(key));
}

void TTesseraDataSet::SeekValues(const std::vector<dbkit::Value>& values) {
  CheckBrowseMode();
  KTobjIndexTag* tag = table_->MasterTag();
  if (tag == nullptr) RaiseDatabaseError(dsmsg::kNoIndexForFind);
  if (table_->RecordCount() == 0 || ActiveBuffer() == nullptr || GetRecNo() == 0) return;
  DoBeforeScroll();
  CursorPosChanged();
  // The values are table texts before the key is built: a key expression
  // that changes letter case (UPPER) works on the OEM letters it knows.
  std::vector<FieldValue> texts;
  for (const dbkit::Value& v : values) {
    if (v.IsNull())
      texts.emplace_back(std::nullopt);
    else
      texts.emplace_back(ToOem(v.ToText()));
  }
  const std::string key = table_->BuildSearchKey(texts, tag->KeyExpression());
  table_->ExactKeyOnly = false;
  table_->StayNearest = true;
  at_first_ = at_last_ = false;
  table_->SeekKeyText(key);
  Resync(dbkit::kRmCenter);
  DoAfterScroll();
}

void TTesseraDataSet::ApplyKeyRange(std::string_view low, std::string_view high) {
  CheckBrowseMode();
  const std::string lo = ToOem(low), hi = ToOem(high);
  const bool changed = key_range_set_ != !(lo.empty() && hi.empty()) || lo != range_low_ || hi != range_high_;
  if (!table_->SetKeyRange(lo, hi, false, true, true)) return;
  range_low_ = lo;
  range_high_ = hi;
  key_range_set_ = !(lo.empty() && hi.empty());
  if (changed) First();
}

void TTesseraDataSet::ApplyKeyRangeWith(std::string_view low, std::string_view high, bool partial,
                                        bool high_inclusive, bool low_inclusive) {
  CheckBrowseMode();
  const std::string lo = ToOem(low), hi = ToOem(high);
  if (table_->SetKeyRange(lo, hi, partial, high_inclusive, low_inclusive)) {
    range_low_ = lo;
    range_high_ = hi;
    key_range_set_ = !(lo.empty() && hi.empty());
  }
  First();
}

void TTesseraDataSet::CancelKeyRange() { ApplyKeyRange("", ""); }

namespace {

// The text LocateValues compares a field with: table texts for text
// fields, "yyyymmdd" for dates, "T"/"F" for logicals.
FieldValue LocateText(const dbkit::Field* field, const dbkit::Value& value, bool translate, int code_page) {
  if (value.IsNull()) return std::nullopt;
  switch (field->DataType()) {
    case FieldType::kString:
    case FieldType::kMemo: return translate ? plat::AnsiToTable(code_page, value.ToText()) : value.ToText();
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

}  // namespace

bool TTesseraDataSet::Locate(std::string_view key_fields, const std::vector<dbkit::Value>& key_values,
                             dbkit::LocateOptions options) {
  CheckBrowseMode();
  const std::vector<dbkit::Field*> fields = GetFieldList(key_fields);
  if (fields.size() != key_values.size())
    RaiseDatabaseError(dbkit::FormatMessage(dbkit::msg::kLocateValueCount, {key_fields}));
  std::vector<FieldValue> texts;
  for (size_t i = 0; i < fields.size(); ++i) texts.push_back(LocateText(fields[i], key_values[i], translate_ascii_, TableCodePage()));
  const int32_t saved = GetRecNo();
  at_last_ = false;
  at_first_ = false;
  const bool found = table_->LocateValues(key_fields, texts, (options & dbkit::kLoPartialKey) != 0,
                                          (options & dbkit::kLoCaseInsensitive) != 0);
  CursorPosChanged();
  if (found) {
    DoBeforeScroll();
    Resync(dbkit::kRmExact | dbkit::kRmCenter);
    DoAfterScroll();
    return true;
  }
  if (saved >= 1 && saved <= table_->RecordCount()) table_->GotoRecord(saved);
  return false;
}

std::optional<std::vector<dbkit::Value>> TTesseraDataSet::Lookup(std::string_view key_fields,
                                                                 const std::vector<dbkit::Value>& key_values,
                                                                 std::string_view result_fields) {
  CheckBrowseMode();
  const std::vector<dbkit::Field*> keys = GetFieldList(key_fields);
  const std::vector<dbkit::Field*> results = GetFieldList(result_fields);
  if (keys.size() != key_values.size())
    RaiseDatabaseError(dbkit::FormatMessage(dbkit::msg::kLocateValueCount, {key_fields}));
  std::vector<FieldValue> texts;
  for (size_t i = 0; i < keys.size(); ++i) texts.push_back(LocateText(keys[i], key_values[i], translate_ascii_, TableCodePage()));
  const int32_t saved = GetRecNo();
  std::optional<std::vector<dbkit::Value>> out;
  struct Back {
    TTesseraDataSet* ds;
    int32_t saved;
    ~Back() {
      // The visible position never changes: the cursor goes back to the
      // record it came from.
      try {
        if (saved >= 1 && saved <= ds->table_->RecordCount()) ds->table_->GotoRecord(saved);
      } catch (...) {
      }
      ds->CursorPosChanged();
    }
  } back{this, saved};
  if (table_->LocateValues(key_fields, texts, false, false)) {
    char* temp = TempBuffer();
    std::memcpy(temp, table_->RecordBuffer(), static_cast<size_t>(record_length_));
    FillTrailer(temp);
    char* saved_buffer = FilterBuffer();
    SetFilterBuffer(temp);
    const DataSetState saved_state = SetTempState(DataSetState::kFilter);
    struct RestoreState {
      TTesseraDataSet* ds;
      DataSetState s;
      char* b;
      ~RestoreState() {
        ds->RestoreState(s);
        ds->SetFilterBuffer(b);
      }
    } restore_state{this, saved_state, saved_buffer};
    std::vector<dbkit::Value> values;
    for (dbkit::Field* f : results) values.push_back(f->AsValue());
    out = std::move(values);
  }
  return out;
}

// ----------------------------------------------------------- master/detail

std::optional<std::string> TTesseraDataSet::MasterKey() {
  dbkit::DataSource* source = master_link_->GetDataSource();
  if (source == nullptr || !table_) return std::nullopt;
  dbkit::DataSet* master = source->GetDataSet();
  if (master == nullptr || !master->Active() || master->IsEmpty()) return std::nullopt;
  KTobjIndexTag* tag = table_->MasterTag();
  if (tag == nullptr) RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kMasterNoIndex, {table_name_}));
  if (master->State() == DataSetState::kInsert) return std::nullopt;
  const std::vector<dbkit::Field*>& fields = master_link_->Fields();
  if (fields.empty()) return std::nullopt;
  TktExpHandler expr(table_->NameResolver(), false, tag->KeyExpression());
  if (SplitList(expr.ListVars(17)).size() < fields.size())
    RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kMasterMismatch, {table_name_}));
  std::vector<FieldValue> values;
  for (dbkit::Field* f : fields) {
    if (f->IsNull())
      values.emplace_back(std::nullopt);
    else
      values.emplace_back(LocateText(f, f->AsValue(), translate_ascii_, TableCodePage()));
  }
  return table_->BuildSearchKey(values, tag->KeyExpression());
}

void TTesseraDataSet::SetMasterRange() {
  if (!table_ || master_link_->GetDataSource() == nullptr || master_link_->Fields().empty()) return;
  if (std::optional<std::string> key = MasterKey()) {
    table_->SetKeyRange(*key, *key, true, true, true);
    key_range_set_ = true;
    range_low_ = range_high_ = *key;
  }
}

void TTesseraDataSet::MasterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  std::optional<std::string> key = MasterKey();
  if (key) {
    table_->SetKeyRange(*key, *key, true, true, true);
    key_range_set_ = true;
    range_low_ = range_high_ = *key;
  } else if (key_range_set_) {
    table_->ClearKeyRange();
    key_range_set_ = false;
  }
  First();
}

void TTesseraDataSet::MasterDisabled() {
  if (!Active()) return;
  CancelKeyRange();
}

// -------------------------------------------------------------- blob stream

std::unique_ptr<dbkit::BlobStream> TTesseraDataSet::CreateBlobStream(dbkit::Field* field,
                                                                     dbkit::BlobStreamMode mode) {
  return std::make_unique<TTSBlobStream>(field, mode);
}

}  // namespace tessera
