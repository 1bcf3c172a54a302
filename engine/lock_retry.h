// RetryLock: how every lock of a shared file is waited for (records and
// the append slot, memo headers, index files, the tools' locks). Another
// process holds a lock only for the length of one write, so a refused lock
// is tried again every kLockRetryInterval milliseconds until the caller's
// wait is over.
#pragma once

#include "engine/settings.h"
#include "platform/path.h"

namespace tessera {

// Calls `lock` (a callable answering whether the lock was taken) at once,
// then after every pause of kLockRetryInterval ms, the last time when
// `wait_ms` have passed (a wait of 0 or less: one attempt). True as soon as
// a call answers true.
template <class TryLock>
bool RetryLock(int wait_ms, TryLock lock) {
  for (int waited = 0;; waited += kLockRetryInterval) {
    if (lock()) return true;
    if (waited >= wait_ms) return false;
    plat::SleepMilliseconds(kLockRetryInterval);
  }
}

}  // namespace tessera
