#include "dataset/ts_blob_stream.h"

#include <cstring>
#include <limits>

#include "dataset/dataset_messages.h"
#include "dataset/dbf_object.h"
#include "dataset/tessera_data_set.h"
#include "dbkit/db_error.h"
#include "dbkit/field.h"
#include "platform/codepage.h"
#include "platform/text_codepage.h"

namespace tessera {
namespace {

// The memo layer counts lengths in int32; a value may not grow past that.
constexpr int64_t kMaxBlobSize = std::numeric_limits<int32_t>::max() - 1;

bool EditingOrInserting(const dbkit::DataSet* ds) {
  return ds->State() == dbkit::DataSetState::kEdit || ds->State() == dbkit::DataSetState::kInsert;
}

}  // namespace

TTSBlobStream::TTSBlobStream(dbkit::Field* field, dbkit::BlobStreamMode mode)
    : field_(field), dataset_(dynamic_cast<TTesseraDataSet*>(field->GetDataSet())) {
  if (dataset_ == nullptr)
    dbkit::RaiseDatabaseError(dbkit::FormatMessage("Field '%s' has no dataset", {field->DisplayName()}));
  field_no_ = field->FieldNo();
  record_ = dataset_->StateRecord();
  if (mode != dbkit::BlobStreamMode::kRead) {
    if (field->ReadOnly()) dbkit::RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kFieldReadOnly, {field->DisplayName()}));
    if (!EditingOrInserting(dataset_)) dbkit::RaiseDatabaseError(dsmsg::kNotEditing);
  }
  if (mode == dbkit::BlobStreamMode::kWrite) {
    modified_ = true;
    return;
  }
  if (record_ != nullptr && field_no_ > 0 && dataset_->Table() != nullptr) Load();
}

// A stream dropped without Close stores nothing: it is dropped that way
// when a write failed half-way, and storing then would replace the memo
// with a part of the new value.
TTSBlobStream::~TTSBlobStream() = default;

void TTSBlobStream::Load() {
  DBFObject* table = dataset_->Table();
  TTesseraDataSet::RecordScope scope(table, record_);
  const int32_t length = table->MemoSize(field_no_);
  if (length <= 0) return;
  std::string data(static_cast<size_t>(length) + 1, '\0');
  int32_t size = length;
  table->MemoRead(field_no_, data.data(), &size);
  // The memo layer may deliver fewer bytes than it announced (a damaged
  // memo ends early); the value is what was read.
  if (size < 0 || size > length) size = 0;
  data.resize(static_cast<size_t>(size) + 1);
  data[static_cast<size_t>(size)] = '\0';
  if (field_->Transliterate() && dataset_->TranslateASCII())
    plat::TableToAnsiBuffer(dataset_->TableCodePage(), data.data(), data.data(), static_cast<size_t>(size));
  data_ = std::move(data);
  has_data_ = true;
  size_ = size;
  position_ = 0;
}

int64_t TTSBlobStream::Read(void* buffer, int64_t count) {
  if (!has_data_ || count <= 0 || position_ < 0 || position_ >= size_) return 0;
  if (count > size_ - position_) count = size_ - position_;
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(count));
  position_ += count;
  return count;
}

int64_t TTSBlobStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (position_ < 0)
    dbkit::RaiseDatabaseError(dbkit::FormatMessage(dsmsg::kBlobNegativePosition, {field_->DisplayName()}));
  if (position_ > kMaxBlobSize || count > kMaxBlobSize - position_)
    dbkit::RaiseDatabaseError(dbkit::FormatMessage("Value too large for field '%s'", {field_->DisplayName()}));
  const int64_t old_size = has_data_ ? size_ : 0;
  std::string value = has_data_ ? data_.substr(0, static_cast<size_t>(std::min(position_, old_size))) : std::string();
  // A write past the end fills the gap: blanks in a memo text, zero bytes
  // in a binary value.
  if (position_ > old_size)
    value.append(static_cast<size_t>(position_ - old_size), field_->DataType() == dbkit::FieldType::kMemo ? ' ' : '\0');
  value.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
  size_ = static_cast<int64_t>(value.size());
  value.push_back('\0');
  data_ = std::move(value);
  has_data_ = true;
  position_ = size_;
  modified_ = true;
  return count;
}

int64_t TTSBlobStream::Seek(int64_t offset, dbkit::SeekOrigin origin) {
  int64_t base = 0;
  if (origin == dbkit::SeekOrigin::kCurrent) base = position_;
  if (origin == dbkit::SeekOrigin::kEnd) base = has_data_ ? size_ : 0;
  // No bounds: a position outside the value reads nothing, and a write at
  // a negative one is refused.
  if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) ||
      (offset < 0 && base < std::numeric_limits<int64_t>::min() - offset))
    position_ = offset > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  else
    position_ = base + offset;
  return position_;
}

void TTSBlobStream::Close() {
  if (!modified_) {
    data_.clear();
    has_data_ = false;
    return;
  }
  modified_ = false;
  struct Free {
    TTSBlobStream* s;
    ~Free() {
      s->data_.clear();
      s->data_.shrink_to_fit();
      s->has_data_ = false;
      s->size_ = 0;
    }
  } free_data{this};
  DBFObject* table = dataset_->Table();
  if (table == nullptr || !EditingOrInserting(dataset_) || field_no_ < 1) return;
  int32_t size = has_data_ ? static_cast<int32_t>(size_) : 0;
  if (has_data_ && field_->Transliterate() && dataset_->TranslateASCII())
    plat::AnsiToTableBuffer(dataset_->TableCodePage(), data_.data(), data_.data(), static_cast<size_t>(size));
  {
    TTesseraDataSet::RecordScope scope(table, dataset_->ActiveBuffer());
    table->MemoWrite(field_no_, has_data_ ? data_.data() : "", &size);
  }
  dataset_->DataEvent(dbkit::DataEventKind::kFieldChange, field_);
}

}  // namespace tessera
