#include "dbkit/data_set.h"

#include <algorithm>
#include <cstring>

#include "dbkit/data_link.h"
#include "dbkit/data_source.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"
#include "dbkit/field_types.h"
#include "platform/codepage.h"

namespace dbkit {
namespace {

bool IsEditState(DataSetState s) { return s == DataSetState::kEdit || s == DataSetState::kInsert; }

// Splits "A; B;C" into its names.
std::vector<std::string> SplitNames(std::string_view names) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string_view part = names.substr(start, end - start);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
    if (!part.empty()) out.emplace_back(part);
    start = end + 1;
  }
  return out;
}

bool FieldMatches(const Field& field, const Value& value, LocateOptions options) {
  const bool is_text = field.DataType() == FieldType::kString || field.DataType() == FieldType::kMemo;
  if (value.IsNull()) return field.IsNull();
  if (is_text) {
    // A text field without a value reads as the empty text.
    std::string have = field.AsString();
    std::string want = value.ToText();
    if (options & kLoCaseInsensitive) {
      have = plat::UpperAnsi(have);
      want = plat::UpperAnsi(want);
    }
    if (options & kLoPartialKey) return have.compare(0, want.size(), want) == 0;
    return have == want;
  }
  if (field.IsNull()) return false;
  switch (field.DataType()) {
    case FieldType::kBoolean: return field.AsBoolean() == value.ToBoolean();
    case FieldType::kSmallInt:
    case FieldType::kInteger: return static_cast<double>(field.AsInteger()) == value.ToFloat();
    default: return field.AsFloat() == value.ToFloat();
  }
}

}  // namespace

// Holds a temporary state (and the buffer it reads) for one scope.
class TempStateScope {
 public:
  TempStateScope(DataSet& ds, DataSetState state, char* filter_buffer)
      : ds_(ds), saved_filter_(ds.FilterBuffer()) {
    ds_.SetFilterBuffer(filter_buffer);
    saved_state_ = ds_.SetTempState(state);
  }
  ~TempStateScope() {
    ds_.RestoreState(saved_state_);
    ds_.SetFilterBuffer(saved_filter_);
  }
  TempStateScope(const TempStateScope&) = delete;
  TempStateScope& operator=(const TempStateScope&) = delete;

 private:
  DataSet& ds_;
  char* saved_filter_;
  DataSetState saved_state_;
};

DataSet::DataSet() = default;

DataSet::~DataSet() {
  // The subclass has closed the cursor (its InternalClose cannot run from
  // here). Sources forget this dataset so that their links go inactive and
  // stop reading it.
  const std::vector<DataSource*> sources = data_sources_;
  data_sources_.clear();
  for (DataSource* s : sources) {
    s->dataset_ = nullptr;
    s->UpdateState();
  }
}

// ---------------------------------------------------------------- opening

void DataSet::SetActive(bool value) {
  if (value == Active()) return;
  if (value) {
    DoBeforeOpen();
    try {
      DoInternalOpen();
    } catch (...) {
      CloseCursor();
      throw;
    }
    SetState(DataSetState::kBrowse);
    DoAfterOpen();
    if (!IsEmpty()) DoAfterScroll();
  } else {
    DoBeforeClose();
    // A pending edit is dropped; the subclass releases what it held for it
    // (a record lock) before the cursor goes.
    if (IsEditState(state_)) InternalCancel();
    SetState(DataSetState::kInactive);
    CloseCursor();
    DoAfterClose();
  }
}

void DataSet::DoInternalOpen() {
  default_fields_ = fields_.empty();
  InternalOpen();
  internal_open_complete_ = true;
  UpdateBufferCount();
  bof_ = true;
}

void DataSet::CloseCursor() {
  internal_open_complete_ = false;
  ClearBuffers();
  SetBufferCount(0);
  InternalClose();
}

void DataSet::CheckActive() const {
  if (!Active()) RaiseDatabaseError(msg::kDataSetClosed);
}

void DataSet::CheckInactive() const {
  if (Active()) RaiseDatabaseError(msg::kDataSetOpen);
}

void DataSet::SetState(DataSetState state) {
  if (state_ == state) return;
  state_ = state;
  modified_ = false;
  DataEvent(DataEventKind::kUpdateState);
}

DataSetState DataSet::SetTempState(DataSetState state) {
  const DataSetState old = state_;
  state_ = state;
  ++temp_state_depth_;
  return old;
}

void DataSet::RestoreState(DataSetState state) {
  state_ = state;
  if (temp_state_depth_ > 0) --temp_state_depth_;
}

// ---------------------------------------------------------------- buffers

char* DataSet::ActiveBuffer() const {
  if (buffers_.empty()) return nullptr;
  return buffers_[static_cast<size_t>(active_record_)].get();
}

char* DataSet::GetStateBuffer() const {
  switch (state_) {
    case DataSetState::kBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
    case DataSetState::kEdit:
    case DataSetState::kInsert:
    case DataSetState::kNewValue:
    case DataSetState::kOldValue: return ActiveBuffer();
    case DataSetState::kCalcFields:
    case DataSetState::kInternalCalc: return calc_buffer_;
    case DataSetState::kFilter: return filter_buffer_;
    case DataSetState::kSetKey:
    case DataSetState::kInactive: return nullptr;
  }
  return nullptr;
}

void DataSet::ClearBuffers() {
  record_count_ = 0;
  active_record_ = 0;
  current_record_ = -1;
  bof_ = true;
  eof_ = true;
}

void DataSet::ActivateBuffers() {
  record_count_ = 1;
  active_record_ = 0;
  current_record_ = 0;
  bof_ = false;
  eof_ = false;
}

void DataSet::MoveBuffer(int from, int to) {
  if (from == to) return;
  auto it = buffers_.begin();
  if (from < to)
    std::rotate(it + from, it + from + 1, it + to + 1);
  else
    std::rotate(it + to, it + from, it + from + 1);
}

void DataSet::SetCurrentRecord(int index) {
  if (current_record_ == index) return;
  char* buffer = Buffer(index);
  switch (GetBookmarkFlag(buffer)) {
    case BookmarkFlag::kCurrent:
    case BookmarkFlag::kInserted: InternalSetToRecord(buffer); break;
    case BookmarkFlag::kBof: InternalFirst(); break;
    case BookmarkFlag::kEof: InternalLast(); break;
  }
  current_record_ = index;
}

void DataSet::UpdateCursorPos() {
  if (record_count_ > 0) SetCurrentRecord(active_record_);
}

bool DataSet::GetNextRecord() {
  GetMode mode = GetMode::kNext;
  if (record_count_ > 0) {
    SetCurrentRecord(record_count_ - 1);
    // The last row is a record being inserted: the cursor stands on the
    // record that follows it, which is the next one to show.
    if (state_ == DataSetState::kInsert && current_record_ == active_record_ &&
        GetBookmarkFlag(ActiveBuffer()) == BookmarkFlag::kInserted)
      mode = GetMode::kCurrent;
  }
  const bool ok = GetRecord(Buffer(record_count_), mode, true) == GetResult::kOk;
  if (ok) {
    if (record_count_ == 0)
      ActivateBuffers();
    else if (record_count_ < buffer_count_)
      ++record_count_;
    else
      MoveBuffer(0, record_count_);
    current_record_ = record_count_ - 1;
  } else {
    CursorPosChanged();
  }
  return ok;
}

bool DataSet::GetPriorRecord() {
  if (record_count_ > 0) SetCurrentRecord(0);
  const bool ok = GetRecord(Buffer(record_count_), GetMode::kPrior, true) == GetResult::kOk;
  if (ok) {
    if (record_count_ == 0) {
      ActivateBuffers();
    } else {
      MoveBuffer(record_count_, 0);
      if (record_count_ < buffer_count_) {
        ++record_count_;
        ++active_record_;
      }
    }
    current_record_ = 0;
  } else {
    CursorPosChanged();
  }
  return ok;
}

int DataSet::GetNextRecords() {
  int n = 0;
  while (record_count_ < buffer_count_ && GetNextRecord()) ++n;
  return n;
}

int DataSet::GetPriorRecords() {
  int n = 0;
  while (record_count_ < buffer_count_ && GetPriorRecord()) ++n;
  return n;
}

std::vector<DataLink*> DataSet::AllLinks() const {
  std::vector<DataLink*> links;
  for (DataSource* s : data_sources_) links.insert(links.end(), s->links_.begin(), s->links_.end());
  return links;
}

void DataSet::AdjustLinksFirstRecord(int delta) {
  if (delta == 0) return;
  for (DataLink* l : AllLinks())
    if (l->active_) l->first_record_ += delta;
}

void DataSet::UpdateBufferCount() {
  if (!internal_open_complete_ || !IsCursorOpen()) return;
  int wanted = 1;
  for (DataLink* l : AllLinks()) wanted = std::max(wanted, l->buffer_count_);
  SetBufferCount(wanted);
}

void DataSet::SetBufferCount(int count) {
  if (count == buffer_count_ && (count == 0 || !buffers_.empty())) return;
  if (count == 0) {
    for (auto& b : buffers_) FreeRecordBuffer(b);
    buffers_.clear();
    buffer_count_ = 0;
    ClearBuffers();
    return;
  }
  const bool notify = Active() && record_count_ > 0;
  if (count < buffer_count_ && record_count_ > 0) {
    // Keep the active record: drop rows before it when it would fall off
    // the end, then rows after the window.
    if (active_record_ >= count) {
      const int drop = active_record_ - count + 1;
      std::rotate(buffers_.begin(), buffers_.begin() + drop, buffers_.end());
      record_count_ -= drop;
      active_record_ -= drop;
      current_record_ = current_record_ >= drop ? current_record_ - drop : -1;
      AdjustLinksFirstRecord(-drop);
    }
    if (record_count_ > count) {
      record_count_ = count;
      if (current_record_ >= count) current_record_ = -1;
    }
  }
  while (static_cast<int>(buffers_.size()) > count + 1) {
    FreeRecordBuffer(buffers_.back());
    buffers_.pop_back();
  }
  while (static_cast<int>(buffers_.size()) < count + 1) buffers_.push_back(AllocRecordBuffer());
  buffer_count_ = count;
  GetNextRecords();
  AdjustLinksFirstRecord(GetPriorRecords());
  if (notify) DataEvent(DataEventKind::kDataSetChange);
}

// ------------------------------------------------------------- navigation

void DataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalFirst();
    GetNextRecord();
    GetNextRecords();
  } catch (...) {
    bof_ = true;
    DataEvent(DataEventKind::kDataSetChange);
    throw;
  }
  bof_ = true;
  DataEvent(DataEventKind::kDataSetChange);
  DoAfterScroll();
}

void DataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalLast();
    GetPriorRecord();
    GetPriorRecords();
  } catch (...) {
    eof_ = true;
    DataEvent(DataEventKind::kDataSetChange);
    throw;
  }
  eof_ = true;
  DataEvent(DataEventKind::kDataSetChange);
  DoAfterScroll();
}

int DataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  if (!((distance > 0 && !eof_) || (distance < 0 && !bof_))) return 0;
  DoBeforeScroll();
  bof_ = false;
  eof_ = false;
  const int old_count = record_count_;
  int shift = 0;  // the record of buffer i is now in buffer i - shift
  auto notify = [&] {
    if (record_count_ != old_count)
      DataEvent(DataEventKind::kDataSetChange);
    else
      DataEvent(DataEventKind::kDataSetScroll, nullptr, shift);
  };
  try {
    while (distance > 0) {
      if (active_record_ < record_count_ - 1) {
        ++active_record_;
      } else {
        const bool full = record_count_ == buffer_count_;
        if (!GetNextRecord()) {
          eof_ = true;
          break;
        }
        // A full window dropped its first row; a growing one added a row
        // after the active record, which the active record moves onto.
        if (full)
          ++shift;
        else
          active_record_ = record_count_ - 1;
      }
      --distance;
      ++moved;
    }
    while (distance < 0) {
      if (active_record_ > 0) {
        --active_record_;
      } else {
        const bool full = record_count_ == buffer_count_;
        if (!GetPriorRecord()) {
          bof_ = true;
          break;
        }
        if (full)
          --shift;
        else
          active_record_ = 0;
      }
      ++distance;
      --moved;
    }
  } catch (...) {
    notify();
    throw;
  }
  notify();
  DoAfterScroll();
  return moved;
}

int DataSet::RecordCount() {
  CheckActive();
  return GetRecordCount();
}

void DataSet::Resync(ResyncMode mode) {
  if (buffers_.empty()) return;
  char* spare = Buffer(record_count_);
  if (mode & kRmExact) {
    CursorPosChanged();
    if (GetRecord(spare, GetMode::kCurrent, true) != GetResult::kOk) RaiseDatabaseError(msg::kRecordNotFound);
  } else if (GetRecord(spare, GetMode::kCurrent, false) != GetResult::kOk &&
             GetRecord(spare, GetMode::kNext, false) != GetResult::kOk &&
             GetRecord(spare, GetMode::kPrior, false) != GetResult::kOk) {
    ClearBuffers();
    DataEvent(DataEventKind::kDataSetChange);
    return;
  }
  int before = (mode & kRmCenter) ? (buffer_count_ - 1) / 2 : active_record_;
  MoveBuffer(record_count_, 0);
  ActivateBuffers();
  try {
    while (before > 0 && GetPriorRecord()) --before;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(DataEventKind::kDataSetChange);
    throw;
  }
  DataEvent(DataEventKind::kDataSetChange);
}

// ---------------------------------------------------------------- editing

void DataSet::CheckCanModify() const {
  if (!CanModify()) RaiseDatabaseError(msg::kDataSetReadOnly);
}

void DataSet::CheckOperation(const std::function<void()>& operation, const ErrorEvent& on_error) {
  for (;;) {
    try {
      UpdateCursorPos();
      operation();
      return;
    } catch (const AbortError&) {
      throw;
    } catch (const std::exception& e) {
      DataAction action = DataAction::kFail;
      if (on_error) on_error(*this, e, action);
      if (action == DataAction::kFail) throw;
      if (action == DataAction::kAbort) throw AbortError();
      // kRetry: go round again.
    }
  }
}

void DataSet::Edit() {
  if (IsEditState(state_)) return;
  if (record_count_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeEdit();
  CheckOperation([this] { InternalEdit(); }, OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(DataSetState::kEdit);
  DataEvent(DataEventKind::kRecordChange);
  DoAfterEdit();
}

void DataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  DoBeforeInsert();
  DoBeforeScroll();
}

void DataSet::PrepareInsert() {
  const Bookmark old_current = GetBookmark();
  MoveBuffer(record_count_, active_record_);
  char* buffer = ActiveBuffer();
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, BookmarkFlag::kInserted);
  // The new row remembers the record it was inserted before, so the cursor
  // can be put back there (InternalSetToRecord of an inserted row).
  if (record_count_ == 0 || old_current.empty())
    SetBookmarkFlag(buffer, BookmarkFlag::kBof);
  else
    SetBookmarkData(buffer, old_current.data());
  if (record_count_ < buffer_count_) ++record_count_;
  CursorPosChanged();
}

void DataSet::PrepareAppend() {
  ClearBuffers();
  char* buffer = Buffer(0);
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, BookmarkFlag::kEof);
  record_count_ = 1;
  bof_ = false;
  GetPriorRecords();
}

void DataSet::EndInsertAppend() {
  SetState(DataSetState::kInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    InternalCancel();
    SetState(DataSetState::kBrowse);
    Resync(0);
    throw;
  }
  modified_ = false;
  DataEvent(DataEventKind::kDataSetChange);
  DoAfterInsert();
  DoAfterScroll();
}

void DataSet::Insert() {
  BeginInsertAppend();
  PrepareInsert();
  InternalInsert();
  EndInsertAppend();
}

void DataSet::Append() {
  BeginInsertAppend();
  PrepareAppend();
  InternalInsert();
  EndInsertAppend();
}

void DataSet::InternalAddRecord(const char*, bool) { RaiseDatabaseError(msg::kAddRecordNotSupported); }

void DataSet::SetFields(const std::vector<Value>& values) {
  const size_t n = std::min(values.size(), fields_.size());
  for (size_t i = 0; i < n; ++i) {
    if (values[i].IsNull())
      fields_[i]->Clear();
    else
      fields_[i]->SetAsValue(values[i]);
  }
}

void DataSet::AddRecordValues(const std::vector<Value>& values, bool append) {
  BeginInsertAppend();
  if (append)
    PrepareAppend();
  else
    PrepareInsert();
  InternalInsert();
  SetState(DataSetState::kInsert);
  try {
    SetFields(values);
    DoBeforePost();
    CheckOperation([this, append] { InternalAddRecord(ActiveBuffer(), append); }, OnPostError);
  } catch (...) {
    UpdateCursorPos();
    InternalCancel();
    SetState(DataSetState::kBrowse);
    Resync(0);
    throw;
  }
  SetState(DataSetState::kBrowse);
  Resync(0);
  DoAfterPost();
  DoAfterScroll();
}

void DataSet::UpdateRecord() {
  if (!IsEditState(state_) && state_ != DataSetState::kSetKey) RaiseDatabaseError(msg::kNotEditing);
  DataEvent(DataEventKind::kUpdateRecord);
}

void DataSet::Post() {
  UpdateRecord();
  if (!IsEditState(state_)) return;
  DataEvent(DataEventKind::kCheckBrowseMode);
  DoBeforePost();
  CheckOperation([this] { InternalPost(); }, OnPostError);
  SetState(DataSetState::kBrowse);
  Resync(0);
  DoAfterPost();
}

void DataSet::Cancel() {
  if (state_ == DataSetState::kSetKey) {
    SetState(DataSetState::kBrowse);
    return;
  }
  if (!IsEditState(state_)) return;
  DataEvent(DataEventKind::kCheckBrowseMode);
  DoBeforeCancel();
  const bool scroll_events = state_ == DataSetState::kInsert;
  if (scroll_events) DoBeforeScroll();
  UpdateCursorPos();
  InternalCancel();
  SetState(DataSetState::kBrowse);
  Resync(0);
  DoAfterCancel();
  if (scroll_events) DoAfterScroll();
}

void DataSet::Delete() {
  CheckActive();
  if (state_ == DataSetState::kInsert || state_ == DataSetState::kSetKey) {
    Cancel();
    return;
  }
  if (record_count_ == 0) RaiseDatabaseError(msg::kDataSetEmpty);
  // A read-only dataset says so before anything is attempted.
  CheckCanModify();
  DataEvent(DataEventKind::kCheckBrowseMode);
  DoBeforeDelete();
  DoBeforeScroll();
  CheckOperation([this] { InternalDelete(); }, OnDeleteError);
  SetState(DataSetState::kBrowse);
  Resync(0);
  DoAfterDelete();
  DoAfterScroll();
}

void DataSet::Refresh() {
  CheckBrowseMode();
  UpdateCursorPos();
  InternalRefresh();
  Resync(0);
}

void DataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(DataEventKind::kCheckBrowseMode);
  switch (state_) {
    case DataSetState::kEdit:
    case DataSetState::kInsert:
      UpdateRecord();
      if (modified_)
        Post();
      else
        Cancel();
      break;
    case DataSetState::kSetKey: Post(); break;
    default: break;
  }
}

void DataSet::CheckRequiredFields() {
  for (const auto& f : fields_)
    if (f->Kind() == FieldKind::kData && f->Required() && f->IsNull())
      RaiseDatabaseError(FormatMessage(msg::kFieldRequired, {f->DisplayName()}));
}

// --------------------------------------------------------------- controls

void DataSet::DisableControls() {
  if (disable_count_ == 0) {
    disable_state_ = state_;
    enable_event_ = DataEventKind::kDataSetChange;
  }
  ++disable_count_;
}

void DataSet::EnableControls() {
  if (disable_count_ == 0) return;
  if (--disable_count_ > 0) return;
  if (disable_state_ != state_) DataEvent(DataEventKind::kUpdateState);
  if (disable_state_ != DataSetState::kInactive && state_ != DataSetState::kInactive)
    DataEvent(enable_event_);
}

void DataSet::DataEvent(DataEventKind kind, Field* field, int distance) {
  switch (kind) {
    case DataEventKind::kFieldChange:
      if (field != nullptr && field->Kind() != FieldKind::kCalculated) modified_ = true;
      if (field == nullptr || field->Kind() == FieldKind::kData) UpdateCalcFields();
      if (field != nullptr && field->OnChange) field->OnChange(*field);
      break;
    case DataEventKind::kPropertyChange: field_defs_.updated = false; break;
    default: break;
  }
  if (disable_count_ == 0 && temp_state_depth_ == 0) {
    // A notification may add or remove sources; only those still attached
    // are told.
    const std::vector<DataSource*> sources = data_sources_;
    for (DataSource* s : sources)
      if (std::find(data_sources_.begin(), data_sources_.end(), s) != data_sources_.end())
        s->DataEvent(kind, field, distance);
  } else if ((kind == DataEventKind::kUpdateState && state_ == DataSetState::kInactive) ||
             kind == DataEventKind::kLayoutChange) {
    enable_event_ = DataEventKind::kLayoutChange;
  }
}

void DataSet::AddDataSource(DataSource* source) {
  data_sources_.push_back(source);
  UpdateBufferCount();
}

void DataSet::RemoveDataSource(DataSource* source) {
  data_sources_.erase(std::remove(data_sources_.begin(), data_sources_.end(), source), data_sources_.end());
  UpdateBufferCount();
}

// ------------------------------------------------------- calculated fields

void DataSet::CalculateFields(char* buffer) {
  calc_buffer_ = buffer;
  ClearCalcFields(buffer);
  DoOnCalcFields();
}

void DataSet::GetCalcFields(char* buffer) {
  if (calc_fields_size_ == 0 || buffer == nullptr) return;
  const DataSetState saved_state = state_;
  char* saved_buffer = calc_buffer_;
  state_ = DataSetState::kCalcFields;
  try {
    CalculateFields(buffer);
  } catch (...) {
    state_ = saved_state;
    calc_buffer_ = saved_buffer;
    throw;
  }
  state_ = saved_state;
  calc_buffer_ = saved_buffer;
}

void DataSet::UpdateCalcFields() {
  if (IsEditState(state_) && auto_calc_fields_) GetCalcFields(ActiveBuffer());
}

// -------------------------------------------------------------- bookmarks

bool DataSet::BookmarkAvailable() const {
  return (state_ == DataSetState::kBrowse || IsEditState(state_)) && !IsEmpty() && bookmark_size_ > 0 &&
         GetBookmarkFlag(ActiveBuffer()) == BookmarkFlag::kCurrent;
}

Bookmark DataSet::GetBookmark() const {
  if (!BookmarkAvailable()) return {};
  Bookmark b(static_cast<size_t>(bookmark_size_), '\0');
  GetBookmarkData(ActiveBuffer(), b.data());
  return b;
}

void DataSet::GotoBookmark(const Bookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  if (static_cast<int>(bookmark.size()) != bookmark_size_) RaiseDatabaseError(msg::kInvalidBookmark);
  DoBeforeScroll();
  InternalGotoBookmark(bookmark.data());
  Resync(kRmExact | kRmCenter);
  DoAfterScroll();
}

int DataSet::CompareBookmarks(const Bookmark&, const Bookmark&) const { return 0; }
bool DataSet::BookmarkValid(const Bookmark&) const { return false; }

// -------------------------------------------------------------- searching

bool DataSet::RecordMatches(char* buffer, const std::vector<Field*>& fields, const std::vector<Value>& values,
                            LocateOptions options) {
  TempStateScope scope(*this, DataSetState::kFilter, buffer);
  for (size_t i = 0; i < fields.size(); ++i)
    if (!FieldMatches(*fields[i], values[i], options)) return false;
  return true;
}

bool DataSet::ScanFor(const std::vector<Field*>& fields, const std::vector<Value>& values, LocateOptions options) {
  CursorPosChanged();
  char* spare = TempBuffer();
  InternalFirst();
  while (GetRecord(spare, GetMode::kNext, true) == GetResult::kOk)
    if (RecordMatches(spare, fields, values, options)) return true;
  return false;
}

bool DataSet::Locate(std::string_view key_fields, const std::vector<Value>& key_values, LocateOptions options) {
  CheckBrowseMode();
  const std::vector<Field*> fields = GetFieldList(key_fields);
  if (fields.size() != key_values.size())
    RaiseDatabaseError(FormatMessage(msg::kLocateValueCount, {key_fields}));
  if (!ScanFor(fields, key_values, options)) return false;
  DoBeforeScroll();
  InternalSetToRecord(TempBuffer());
  Resync(kRmExact | kRmCenter);
  DoAfterScroll();
  return true;
}

std::optional<std::vector<Value>> DataSet::Lookup(std::string_view key_fields, const std::vector<Value>& key_values,
                                                  std::string_view result_fields) {
  CheckBrowseMode();
  const std::vector<Field*> keys = GetFieldList(key_fields);
  const std::vector<Field*> results = GetFieldList(result_fields);
  if (keys.size() != key_values.size()) RaiseDatabaseError(FormatMessage(msg::kLocateValueCount, {key_fields}));
  std::optional<std::vector<Value>> out;
  if (ScanFor(keys, key_values, 0)) {
    char* spare = TempBuffer();
    GetCalcFields(spare);
    TempStateScope scope(*this, DataSetState::kFilter, spare);
    std::vector<Value> values;
    for (Field* f : results) values.push_back(f->AsValue());
    out = std::move(values);
  }
  // The visible rows stay; the cursor goes back to them on next use.
  CursorPosChanged();
  return out;
}

int DataSet::Translate(const char* src, char* dst, bool) {
  const size_t n = std::strlen(src);
  if (src != dst) std::memmove(dst, src, n + 1);
  return static_cast<int>(n);
}

bool DataSet::IsLinkedTo(const DataSource* source) const {
  // Bounded walk: a loop that does not pass through this dataset must not
  // hang the check.
  for (int guard = 0; source != nullptr && guard < 1000; ++guard) {
    const DataSet* ds = source->GetDataSet();
    if (ds == nullptr) return false;
    if (ds == this) return true;
    source = ds->GetDataSource();
  }
  return false;
}

bool DataSet::GetIsIndexField(const Field*) const { return false; }

// ----------------------------------------------------------------- fields

Field* DataSet::FindField(std::string_view name) const {
  for (const auto& f : fields_)
    if (SameName(f->FieldName(), name)) return f.get();
  return nullptr;
}

Field* DataSet::FieldByName(std::string_view name) const {
  Field* f = FindField(name);
  if (f == nullptr) RaiseDatabaseError(FormatMessage(msg::kFieldNotFound, {name}));
  return f;
}

std::vector<Field*> DataSet::GetFieldList(std::string_view names) const {
  std::vector<Field*> out;
  for (const std::string& name : SplitNames(names)) out.push_back(FieldByName(name));
  return out;
}

Field* DataSet::AddField(std::unique_ptr<Field> field) {
  CheckInactive();
  if (FindField(field->FieldName()) != nullptr)
    RaiseDatabaseError(FormatMessage(msg::kDuplicateFieldName, {field->FieldName()}));
  field->dataset_ = this;
  fields_.push_back(std::move(field));
  ++fields_generation_;
  return fields_.back().get();
}

void DataSet::CreateFields() {
  for (const FieldDef& def : field_defs_) {
    if (def.type == FieldType::kUnknown || FindField(def.name) != nullptr) continue;
    std::unique_ptr<Field> f = MakeField(def);
    f->dataset_ = this;
    fields_.push_back(std::move(f));
  }
  ++fields_generation_;
}

void DataSet::BindFields(bool binding) {
  calc_fields_size_ = 0;
  for (const auto& f : fields_) {
    if (!binding) {
      f->field_no_ = 0;
      f->offset_ = 0;
      continue;
    }
    if (f->Kind() == FieldKind::kData) {
      const FieldDef* def = field_defs_.Find(f->FieldName());
      if (def == nullptr) RaiseDatabaseError(FormatMessage(msg::kFieldNotFound, {f->FieldName()}));
      if (def->type != f->DataType())
        RaiseDatabaseError(FormatMessage(msg::kFieldTypeMismatch,
                                         {f->FieldName(), FieldTypeName(f->DataType()), FieldTypeName(def->type)}));
      f->field_no_ = def->field_no;
    } else {
      f->field_no_ = -1;
      f->offset_ = calc_fields_size_;
      calc_fields_size_ += f->DataSize() + 1;
    }
  }
}

void DataSet::DestroyFields() {
  fields_.clear();
  ++fields_generation_;
}

}  // namespace dbkit
