#include "index/sort_work_file.h"

#include "engine/errors.h"
#include "platform/last_error.h"

namespace tessera {

SortWorkFile::SortWorkFile(std::string directory) : directory_(std::move(directory)) {
  file_ = plat::FileHandle::CreateTemporary(directory_);
  if (!file_.valid()) Fail(kSubCreate, plat::LastError());
}

int64_t SortWorkFile::Append(const void* data, size_t count) {
  const int64_t at = end_;
  if (!file_.WriteAt(at, data, static_cast<int64_t>(count))) Fail(kSubWrite, plat::LastError());
  end_ += static_cast<int64_t>(count);
  return at;
}

void SortWorkFile::Read(int64_t offset, void* buffer, size_t count) const {
  const int64_t n = file_.ReadAt(offset, buffer, static_cast<int64_t>(count));
  if (n < 0) Fail(kSubRead, plat::LastError());
  // Only what was appended is read: a short read means the file lost it.
  if (n != static_cast<int64_t>(count)) Fail(kSubRead, kCodeShortRead);
}

void SortWorkFile::ReportDamage() const { Fail(kSubRead, kCodeShortRead); }

// The sort may fail on any of its threads: the text the engine's own
// report would give is raised here directly, whatever handler the
// application installed.
void SortWorkFile::Fail(int32_t sub_code, int32_t error) const {
  throw ETesseraError(ComposeEngineError(error != 0 ? error
                                         : (sub_code == kSubRead ? plat::kErrReadFault : plat::kErrWriteFault), sub_code,
                                         "key sort work file in " + directory_));
}

}  // namespace tessera
