// TTSBlobStream: the stream through which memo and blob fields (types M, B,
// G) of a TTesseraDataSet read and write their bytes. It holds the whole
// value in memory: loaded from the memo file when opened for reading,
// stored back into the memo file (and the block reference into the record)
// when closed after writing.
//
// Invariants: data_ holds size_ bytes of the value followed by one NUL (or
// is empty when there is no value); Read never copies from outside
// [0, size_); a write at a position beyond the end fills the gap with
// blanks; a write at a negative position is refused.
#pragma once

#include <cstdint>
#include <string>

#include "dbkit/blob_stream.h"
#include "dbkit/types.h"

namespace dbkit {
class Field;
}

namespace tessera {

class TTesseraDataSet;

class TTSBlobStream : public dbkit::BlobStream {
 public:
  // Raises "Field '%s' cannot be modified" or "Dataset not in edit or
  // insert mode" when opened for writing where that is not allowed.
  TTSBlobStream(dbkit::Field* field, dbkit::BlobStreamMode mode);
  // Frees the value; a written value that Close did not store is dropped.
  ~TTSBlobStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, dbkit::SeekOrigin origin) override;
  // Stores a written value while the dataset is still editing or
  // inserting; failures of the memo file pass through (the value is freed
  // in any case).
  void Close() override;

  bool Modified() const { return modified_; }

 private:
  void Load();

  dbkit::Field* field_;
  TTesseraDataSet* dataset_;
  char* record_ = nullptr;  // the state's record buffer, owned by the dataset
  int field_no_ = 0;
  std::string data_;  // value bytes, then NUL; empty: no data
  bool has_data_ = false;
  int64_t size_ = 0;
  int64_t position_ = 0;
  bool modified_ = false;
};

}  // namespace tessera
