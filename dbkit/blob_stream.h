// The stream through which blob and memo fields read and write their bytes.
// A dataset makes one on request (DataSet::CreateBlobStream) for a field and
// a mode; the stream holds the value and, when written, stores it back.
#pragma once

#include <cstdint>

namespace dbkit {

enum class SeekOrigin { kBegin = 0, kCurrent = 1, kEnd = 2 };

class BlobStream {
 public:
  virtual ~BlobStream() = default;

  // Copies up to `count` bytes from the position; answers how many.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes `count` bytes at the position; answers how many.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; answers the new position.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  // Ends the stream. A stream that was written stores its value here, and a
  // failure to store is raised here (a destructor must not raise, so the
  // field layer always calls Close on a stream it wrote before dropping it).
  virtual void Close() {}

  int64_t Size() {
    const int64_t here = Seek(0, SeekOrigin::kCurrent);
    const int64_t size = Seek(0, SeekOrigin::kEnd);
    Seek(here, SeekOrigin::kBegin);
    return size;
  }
};

}  // namespace dbkit
