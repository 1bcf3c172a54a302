// KTobjFileColl: the process-wide registry of open disk files. It does not
// own them; it exists so that the engine can release every lock and close
// every file still open when it stops.
#pragma once

#include <cstddef>
#include <vector>

namespace tessera {

class KTO_DiskFile;

class KTobjFileColl {
 public:
  void Add(KTO_DiskFile* file);
  void Remove(KTO_DiskFile* file);
  // Closes every registered file, releasing a held lock first; the list is
  // empty afterwards.
  void CloseAll();
  size_t Count() const { return files_.size(); }

 private:
  std::vector<KTO_DiskFile*> files_;
};

// The registry (created on first use when the engine was not started).
KTobjFileColl& FileRegistry();

}  // namespace tessera
