#include "engine/file_coll.h"

#include <algorithm>

#include "engine/disk_file.h"

namespace tessera {

void KTobjFileColl::Add(KTO_DiskFile* file) {
  if (std::find(files_.begin(), files_.end(), file) == files_.end()) files_.push_back(file);
}

void KTobjFileColl::Remove(KTO_DiskFile* file) {
  auto it = std::find(files_.begin(), files_.end(), file);
  if (it != files_.end()) files_.erase(it);
}

void KTobjFileColl::CloseAll() {
  // Close() removes the file from this list, so always take the last one.
  while (!files_.empty()) {
    KTO_DiskFile* file = files_.back();
    file->Close();
    Remove(file);
  }
}

}  // namespace tessera
