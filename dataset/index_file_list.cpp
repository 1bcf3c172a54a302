#include "dataset/index_file_list.h"

#include "dbkit/field_def.h"

namespace tessera {

int TIndexFileList::IndexOf(std::string_view name) const {
  for (size_t i = 0; i < names_.size(); ++i)
    if (dbkit::SameName(names_[i], name)) return static_cast<int>(i);
  return -1;
}

int TIndexFileList::Add(std::string_view name) {
  names_.emplace_back(name);
  Changed();
  return Count() - 1;
}

void TIndexFileList::Delete(int i) {
  if (i < 0 || i >= Count()) return;
  names_.erase(names_.begin() + i);
  Changed();
}

void TIndexFileList::Clear() {
  if (names_.empty()) return;
  names_.clear();
  Changed();
}

void TIndexFileList::Assign(const std::vector<std::string>& names) {
  names_ = names;
  Changed();
}

void TIndexFileList::EndUpdate() {
  if (update_count_ == 0) return;
  if (--update_count_ == 0 && pending_) {
    pending_ = false;
    if (OnChange) OnChange();
  }
}

void TIndexFileList::Changed() {
  if (update_count_ > 0) {
    pending_ = true;
    return;
  }
  if (OnChange) OnChange();
}

}  // namespace tessera
