// TIndexFileList: the dataset's IndexFiles property, a list of index file
// names with a change notification. Every change (Add, Delete, Clear,
// Assign) runs OnChange once, unless updates are held by BeginUpdate; the
// matching EndUpdate then runs it once if anything changed meanwhile.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tessera {

class TIndexFileList {
 public:
  TIndexFileList() = default;
  TIndexFileList(const TIndexFileList&) = delete;
  TIndexFileList& operator=(const TIndexFileList&) = delete;

  int Count() const { return static_cast<int>(names_.size()); }
  bool Empty() const { return names_.empty(); }
  const std::string& operator[](int i) const { return names_[static_cast<size_t>(i)]; }
  const std::vector<std::string>& Strings() const { return names_; }
  // Position of a name (compared without ASCII case), -1 when absent.
  int IndexOf(std::string_view name) const;

  // Appends a name and answers its position.
  int Add(std::string_view name);
  void Delete(int i);
  void Clear();
  void Assign(const std::vector<std::string>& names);

  void BeginUpdate() { ++update_count_; }
  void EndUpdate();

  // The dataset wires itself here; the handler may raise, and the list is
  // already changed when it does.
  std::function<void()> OnChange;

 private:
  void Changed();

  std::vector<std::string> names_;
  int update_count_ = 0;
  bool pending_ = false;
};

}  // namespace tessera
