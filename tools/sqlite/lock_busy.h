// LockBusy: a lock another program holds past the engine's lock wait. The
// module answers SQLITE_BUSY for it, so that a caller may try again.
#pragma once

#include <stdexcept>

namespace tessera_sql {

class LockBusy : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tessera_sql
