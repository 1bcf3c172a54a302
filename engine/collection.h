// TktCollection: a list that owns its items. Remove and FreeAll hand each
// item to FreeItem, which by default destroys it; a subclass may keep the
// item alive instead.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

namespace tessera {

template <typename T>
class TktCollection {
 public:
  TktCollection() = default;
  TktCollection(const TktCollection&) = delete;
  TktCollection& operator=(const TktCollection&) = delete;
  virtual ~TktCollection() { FreeAll(); }

  void Add(std::unique_ptr<T> item) { items_.push_back(std::move(item)); }
  void Insert(size_t index, std::unique_ptr<T> item) {
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(std::min(index, items_.size())), std::move(item));
  }
  // Takes the item out of the list and frees it.
  void Remove(T* item) {
    auto it = std::find_if(items_.begin(), items_.end(), [item](const auto& p) { return p.get() == item; });
    if (it == items_.end()) return;
    std::unique_ptr<T> owned = std::move(*it);
    items_.erase(it);
    FreeItem(std::move(owned));
  }
  // Frees every item in list order and empties the list.
  void FreeAll() {
    std::vector<std::unique_ptr<T>> items = std::move(items_);
    items_.clear();
    for (auto& item : items) FreeItem(std::move(item));
  }

  // Takes the item at `index` out of the list without freeing it.
  std::unique_ptr<T> Extract(size_t index) {
    std::unique_ptr<T> item = std::move(items_[index]);
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    return item;
  }
  // Frees the item at `index` (through FreeItem).
  void Delete(size_t index) { FreeItem(Extract(index)); }

  size_t Count() const { return items_.size(); }
  T* At(size_t index) const { return items_[index].get(); }
  T* operator[](size_t index) const { return items_[index].get(); }

 protected:
  virtual void FreeItem(std::unique_ptr<T> item) { item.reset(); }

 private:
  std::vector<std::unique_ptr<T>> items_;
};

}  // namespace tessera
