#include "support/memory_data_set.h"

#include <cstdio>
#include <cstring>

#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"
#include "platform/codepage.h"
#include "platform/text_convert.h"

namespace testing_support {

using dbkit::BookmarkFlag;
using dbkit::DataSetState;
using dbkit::FieldType;
using dbkit::GetMode;
using dbkit::GetResult;

namespace {

int WidthOf(FieldType type, int size) {
  switch (type) {
    case FieldType::kString: return size + 1;
    case FieldType::kSmallInt:
    case FieldType::kBoolean: return 2;
    case FieldType::kFloat:
    case FieldType::kDateTime: return 8;
    default: return 4;
  }
}

}  // namespace

// The value of one NOTE field, held whole; a written value is stored when
// the stream is closed.
class MemoryBlobStream : public dbkit::BlobStream {
 public:
  MemoryBlobStream(MemoryDataSet& owner, dbkit::Field* field, dbkit::BlobStreamMode mode)
      : owner_(owner), field_(field) {
    if (mode != dbkit::BlobStreamMode::kRead) {
      if (field->ReadOnly())
        dbkit::RaiseDatabaseError(dbkit::FormatMessage(dbkit::msg::kFieldReadOnly, {field->DisplayName()}));
      if (owner.State() != DataSetState::kEdit && owner.State() != DataSetState::kInsert)
        dbkit::RaiseDatabaseError(dbkit::msg::kNotEditing);
    }
    if (mode == dbkit::BlobStreamMode::kWrite) {
      modified_ = true;
      return;
    }
    int32_t ref = 0;
    if (field->GetData(&ref) && ref > 0 && ref <= static_cast<int32_t>(owner.memos_.size()))
      data_ = owner.memos_[static_cast<size_t>(ref - 1)];
  }

  int64_t Read(void* buffer, int64_t count) override {
    if (pos_ >= static_cast<int64_t>(data_.size()) || count <= 0) return 0;
    count = std::min<int64_t>(count, static_cast<int64_t>(data_.size()) - pos_);
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(count));
    pos_ += count;
    return count;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    if (count <= 0) return 0;
    data_.resize(static_cast<size_t>(pos_));
    data_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
    pos_ += count;
    modified_ = true;
    return count;
  }
  int64_t Seek(int64_t offset, dbkit::SeekOrigin origin) override {
    if (origin == dbkit::SeekOrigin::kBegin) pos_ = offset;
    if (origin == dbkit::SeekOrigin::kCurrent) pos_ += offset;
    if (origin == dbkit::SeekOrigin::kEnd) pos_ = static_cast<int64_t>(data_.size()) + offset;
    return pos_;
  }
  void Close() override {
    if (!modified_) return;
    modified_ = false;
    if (owner_.State() != DataSetState::kEdit && owner_.State() != DataSetState::kInsert) return;
    int32_t ref = 0;
    if (!data_.empty()) {
      owner_.memos_.push_back(data_);
      ref = static_cast<int32_t>(owner_.memos_.size());
    }
    const auto& c = owner_.columns_[static_cast<size_t>(field_->FieldNo() - 1)];
    char* rec = owner_.ActiveBuffer();
    rec[c.offset] = ref != 0 ? 1 : 0;
    std::memcpy(rec + c.offset + 1, &ref, 4);
    owner_.DataEvent(dbkit::DataEventKind::kFieldChange, field_);
  }

 private:
  MemoryDataSet& owner_;
  dbkit::Field* field_;
  std::string data_;
  int64_t pos_ = 0;
  bool modified_ = false;
};

MemoryDataSet::MemoryDataSet(int count) {
  const struct {
    const char* name;
    FieldType type;
    int size;
  } layout[] = {
      {"ID", FieldType::kInteger, 0},     {"NAME", FieldType::kString, 20}, {"CITY", FieldType::kString, 15},
      {"AMOUNT", FieldType::kFloat, 0},   {"BORN", FieldType::kDate, 0},    {"ACTIVE", FieldType::kBoolean, 0},
      {"QTY", FieldType::kSmallInt, 0},   {"NOTE", FieldType::kMemo, 0},
  };
  for (const auto& l : layout) {
    Column c{l.name, l.type, l.size, record_size_, WidthOf(l.type, l.size)};
    record_size_ += 1 + c.width;
    columns_.push_back(c);
  }
  static const char* const kCities[] = {"Москва", "Тверь", "Омск", "Самара", "Пермь"};
  const int64_t epoch = plat::SerialFromCivil({1970, 1, 1});
  rows_.reserve(static_cast<size_t>(count));
  for (int n = 1; n <= count; ++n) {
    std::string row(static_cast<size_t>(record_size_), '\0');
    char name[32];
    std::snprintf(name, sizeof name, "NAME%05d", n);
    const int32_t id = n;
    const std::string city = plat::Utf8ToOem(kCities[n % 5]);
    const double amount = n * 1.5;
    const int32_t born = static_cast<int32_t>(epoch + n);
    const uint16_t active = n % 2 == 0 ? 1 : 0;
    const int16_t qty = static_cast<int16_t>(n % 100);
    PutColumn(row, 0, &id);
    PutColumn(row, 1, name);
    PutColumn(row, 2, city.c_str());
    PutColumn(row, 3, &amount);
    PutColumn(row, 4, &born);
    PutColumn(row, 5, &active);
    PutColumn(row, 6, &qty);
    rows_.push_back(std::move(row));
    deleted_.push_back(false);
  }
}

MemoryDataSet::~MemoryDataSet() { Close(); }

void MemoryDataSet::PutColumn(std::string& row, int column, const void* value) {
  const Column& c = columns_[static_cast<size_t>(column)];
  row[static_cast<size_t>(c.offset)] = 1;
  if (c.type == FieldType::kString)
    std::strncpy(&row[static_cast<size_t>(c.offset) + 1], static_cast<const char*>(value), static_cast<size_t>(c.size));
  else
    std::memcpy(&row[static_cast<size_t>(c.offset) + 1], value, static_cast<size_t>(c.width));
}

std::string MemoryDataSet::StoredName(int recno) const {
  const std::string& row = rows_[static_cast<size_t>(recno - 1)];
  return plat::OemToAnsi(std::string(row.c_str() + columns_[1].offset + 1));
}

void MemoryDataSet::AppendBehind(int id, const std::string& name) {
  std::string row(static_cast<size_t>(record_size_), '\0');
  const int32_t value = id;
  PutColumn(row, 0, &value);
  PutColumn(row, 1, name.c_str());
  rows_.push_back(std::move(row));
  deleted_.push_back(false);
}

int32_t MemoryDataSet::BufferRecNo(const char* buffer) const {
  int32_t recno = 0;
  std::memcpy(&recno, buffer + RecNoOffset(), 4);
  return recno;
}

int MemoryDataSet::ActiveRecNo() const {
  if (!Active() || IsEmpty()) return 0;
  return BufferRecNo(ActiveBuffer());
}

// ------------------------------------------------------------------ contract

std::unique_ptr<char[]> MemoryDataSet::AllocRecordBuffer() {
  const size_t size = static_cast<size_t>(BookmarkOffset() + 4);
  auto buffer = std::make_unique<char[]>(size);
  std::memset(buffer.get(), 0, size);
  return buffer;
}

void MemoryDataSet::InternalInitFieldDefs() {
  auto& defs = GetFieldDefs();
  defs.Clear();
  for (const Column& c : columns_) defs.Add(c.name, c.type, c.type == FieldType::kString ? c.size : 0);
  defs.updated = true;
}

void MemoryDataSet::InternalOpen() {
  InternalInitFieldDefs();
  if (DefaultFields()) CreateFields();
  BindFields(true);
  SetBookmarkSize(4);
  filter_row_ = AllocRecordBuffer();
  cursor_ = -1;
  edit_lock_ = 0;
  open_ = true;
}

void MemoryDataSet::InternalClose() {
  BindFields(false);
  if (DefaultFields()) DestroyFields();
  filter_row_.reset();
  edit_lock_ = 0;
  open_ = false;
}

bool MemoryDataSet::Visible(int index) {
  if (deleted_[static_cast<size_t>(index)]) return false;
  if (!Filtered() || !OnFilterRecord) return true;
  // The filter sees the record through the fields, in the filter state.
  std::memcpy(filter_row_.get(), rows_[static_cast<size_t>(index)].data(), static_cast<size_t>(record_size_));
  char* saved_buffer = FilterBuffer();
  SetFilterBuffer(filter_row_.get());
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

void MemoryDataSet::Fill(char* buffer, int index) {
  std::memcpy(buffer, rows_[static_cast<size_t>(index)].data(), static_cast<size_t>(record_size_));
  const int32_t recno = index + 1;
  std::memcpy(buffer + RecNoOffset(), &recno, 4);
  buffer[FlagOffset()] = static_cast<char>(BookmarkFlag::kCurrent);
  std::memcpy(buffer + BookmarkOffset(), &recno, 4);
  GetCalcFields(buffer);
}

GetResult MemoryDataSet::GetRecord(char* buffer, GetMode mode, bool do_check) {
  ++read_count_;
  const int n = PhysicalCount();
  switch (mode) {
    case GetMode::kNext: {
      int i = std::max(cursor_, -1) + 1;
      while (i < n && !Visible(i)) ++i;
      if (i >= n) {
        cursor_ = n;
        return GetResult::kEof;
      }
      cursor_ = i;
      break;
    }
    case GetMode::kPrior: {
      int i = std::min(cursor_, n) - 1;
      while (i >= 0 && !Visible(i)) --i;
      if (i < 0) {
        cursor_ = -1;
        return GetResult::kBof;
      }
      cursor_ = i;
      break;
    }
    case GetMode::kCurrent:
      if (cursor_ < 0 || cursor_ >= n || !Visible(cursor_)) {
        if (do_check) dbkit::RaiseDatabaseError("Record request beyond range of table");
        return GetResult::kError;
      }
      break;
  }
  Fill(buffer, cursor_);
  return GetResult::kOk;
}

bool MemoryDataSet::GetCurrentRecord(char* buffer) {
  if (IsEmpty() || State() == DataSetState::kInactive) return false;
  UpdateCursorPos();
  if (cursor_ < 0 || cursor_ >= PhysicalCount()) return false;
  Fill(buffer, cursor_);
  return true;
}

void MemoryDataSet::GetBookmarkData(const char* buffer, char* data) const {
  std::memcpy(data, buffer + BookmarkOffset(), 4);
}

void MemoryDataSet::SetBookmarkData(char* buffer, const char* data) { std::memcpy(buffer + BookmarkOffset(), data, 4); }

BookmarkFlag MemoryDataSet::GetBookmarkFlag(const char* buffer) const {
  return static_cast<BookmarkFlag>(buffer[FlagOffset()]);
}

void MemoryDataSet::SetBookmarkFlag(char* buffer, BookmarkFlag flag) { buffer[FlagOffset()] = static_cast<char>(flag); }

int MemoryDataSet::CompareBookmarks(const dbkit::Bookmark& a, const dbkit::Bookmark& b) const {
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  int32_t x = 0, y = 0;
  std::memcpy(&x, a.data(), 4);
  std::memcpy(&y, b.data(), 4);
  return x < y ? -1 : (x > y ? 1 : 0);
}

bool MemoryDataSet::BookmarkValid(const dbkit::Bookmark& bookmark) const {
  if (bookmark.size() != 4) return false;
  int32_t recno = 0;
  std::memcpy(&recno, bookmark.data(), 4);
  return recno >= 1 && recno <= PhysicalCount() && !deleted_[static_cast<size_t>(recno - 1)];
}

void MemoryDataSet::InternalGotoBookmark(const char* bookmark) {
  int32_t recno = 0;
  std::memcpy(&recno, bookmark, 4);
  if (recno < 1 || recno > PhysicalCount()) dbkit::RaiseDatabaseError("Bookmark is invalid");
  cursor_ = recno - 1;
}

void MemoryDataSet::InternalSetToRecord(char* buffer) { InternalGotoBookmark(buffer + BookmarkOffset()); }

bool MemoryDataSet::GetFieldData(dbkit::Field* field, void* buffer) {
  const char* rec = GetStateBuffer();
  if (rec == nullptr) return false;
  const int size = field->DataSize();
  const char* slot;
  if (field->FieldNo() > 0) {
    const Column& c = columns_[static_cast<size_t>(field->FieldNo() - 1)];
    slot = rec + c.offset;
    // A blank text has no value, as in the engine's tables.
    if (c.type == FieldType::kString && slot[1] == '\0') return false;
  } else {
    slot = rec + record_size_ + field->Offset();
  }
  if (slot[0] == 0) return false;
  std::memcpy(buffer, slot + 1, static_cast<size_t>(size));
  return true;
}

void MemoryDataSet::SetFieldData(dbkit::Field* field, const void* buffer) {
  const DataSetState s = State();
  if (s == DataSetState::kBrowse || s == DataSetState::kInactive || s == DataSetState::kOldValue)
    dbkit::RaiseDatabaseError(dbkit::msg::kNotEditing);
  char* rec = GetStateBuffer();
  if (rec == nullptr) dbkit::RaiseDatabaseError(dbkit::msg::kNotEditing);
  const int size = field->DataSize();
  if (field->FieldNo() < 0) {
    char* slot = rec + record_size_ + field->Offset();
    slot[0] = buffer != nullptr ? 1 : 0;
    if (buffer != nullptr)
      std::memcpy(slot + 1, buffer, static_cast<size_t>(size));
    else
      std::memset(slot + 1, 0, static_cast<size_t>(size));
  } else {
    if (s == DataSetState::kCalcFields) dbkit::RaiseDatabaseError(dbkit::msg::kNotEditing);
    if (field->ReadOnly() && s != DataSetState::kSetKey && s != DataSetState::kFilter)
      dbkit::RaiseDatabaseError(dbkit::FormatMessage(dbkit::msg::kFieldReadOnly, {field->DisplayName()}));
    field->Validate(buffer);
    const Column& c = columns_[static_cast<size_t>(field->FieldNo() - 1)];
    char* slot = rec + c.offset;
    slot[0] = buffer != nullptr ? 1 : 0;
    std::memset(slot + 1, 0, static_cast<size_t>(c.width));
    if (buffer != nullptr) std::memcpy(slot + 1, buffer, static_cast<size_t>(size));
  }
  if (s != DataSetState::kSetKey && s != DataSetState::kCalcFields && s != DataSetState::kFilter &&
      s != DataSetState::kNewValue)
    DataEvent(dbkit::DataEventKind::kFieldChange, field);
}

void MemoryDataSet::ClearCalcFields(char* buffer) {
  std::memset(buffer + record_size_, 0, static_cast<size_t>(CalcFieldsSize()));
}

void MemoryDataSet::InternalInitRecord(char* buffer) { std::memset(buffer, 0, static_cast<size_t>(record_size_)); }

void MemoryDataSet::AppendRow(const char* row) {
  rows_.emplace_back(row, static_cast<size_t>(record_size_));
  deleted_.push_back(false);
  cursor_ = PhysicalCount() - 1;
}

void MemoryDataSet::InternalAddRecord(const char* buffer, bool) {
  // Like an xBase table, new records always go to the end.
  AppendRow(buffer);
  edit_lock_ = 0;
}

void MemoryDataSet::InternalEdit() {
  const int recno = BufferRecNo(ActiveBuffer());
  if (recno == locked_by_other_) dbkit::RaiseDatabaseError("Record is locked by another user");
  // Another user may have changed the record: show it as stored now.
  cursor_ = recno - 1;
  Fill(ActiveBuffer(), cursor_);
  edit_lock_ = recno;
}

void MemoryDataSet::InternalPost() {
  DataSet::InternalPost();
  const char* rec = ActiveBuffer();
  if (State() == DataSetState::kEdit) {
    const int recno = BufferRecNo(rec);
    rows_[static_cast<size_t>(recno - 1)].assign(rec, static_cast<size_t>(record_size_));
    cursor_ = recno - 1;
  } else {
    AppendRow(rec);
  }
  edit_lock_ = 0;
}

void MemoryDataSet::InternalDelete() {
  const int index = BufferRecNo(ActiveBuffer()) - 1;
  deleted_[static_cast<size_t>(index)] = true;
  edit_lock_ = 0;
  // Move on to the next visible record, or back to the new last one.
  const int n = PhysicalCount();
  int i = index + 1;
  while (i < n && !Visible(i)) ++i;
  if (i >= n) {
    i = index - 1;
    while (i >= 0 && !Visible(i)) --i;
  }
  cursor_ = i >= 0 ? i : n;
}

int MemoryDataSet::GetRecordCount() {
  int n = 0;
  for (int i = 0; i < PhysicalCount(); ++i)
    if (Visible(i)) ++n;
  return n;
}

bool MemoryDataSet::IsSequenced() const {
  if (Filtered()) return false;
  for (bool d : deleted_)
    if (d) return false;
  return true;
}

int MemoryDataSet::GetRecNo() const {
  if (!Active() || IsEmpty() || !IsSequenced()) return -1;
  return BufferRecNo(State() == DataSetState::kCalcFields ? CalcBuffer() : ActiveBuffer());
}

void MemoryDataSet::SetRecNo(int value) {
  CheckBrowseMode();
  if (!IsSequenced() || value < 1 || value > PhysicalCount() || value == GetRecNo()) return;
  DoBeforeScroll();
  cursor_ = value - 1;
  Resync(dbkit::kRmExact | dbkit::kRmCenter);
  DoAfterScroll();
}

void MemoryDataSet::SeekTo(int recno, dbkit::ResyncMode mode) {
  CheckBrowseMode();
  DoBeforeScroll();
  cursor_ = recno - 1;
  Resync(mode);
  DoAfterScroll();
}

void MemoryDataSet::SetFiltered(bool value) {
  if (value == Filtered()) return;
  if (Active()) CheckBrowseMode();
  DataSet::SetFiltered(value);
  if (Active()) First();
}

int MemoryDataSet::Translate(const char* src, char* dst, bool to_storage) {
  const size_t n = std::strlen(src);
  if (to_storage)
    plat::AnsiToOemBuffer(src, dst, n + 1);
  else
    plat::OemToAnsiBuffer(src, dst, n + 1);
  return static_cast<int>(n);
}

std::unique_ptr<dbkit::BlobStream> MemoryDataSet::CreateBlobStream(dbkit::Field* field, dbkit::BlobStreamMode mode) {
  return std::make_unique<MemoryBlobStream>(*this, field, mode);
}

}  // namespace testing_support
