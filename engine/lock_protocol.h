// Lock protocols: where tables, memo files and index files put their
// byte-range locks, so that programs of one family see each other's locks.
#pragma once

#include <cstdint>

namespace tessera {

enum TktLokProtocol : uint8_t {
  kDefaultLock = 0,
  kDB4Lock = 1,
  kClipLock = 2,
  kFoxLock = 3,
};

// Lock offsets A (append byte), B (start of the table range) and length C.
struct LockOffsets {
  uint32_t a = 0x7FFFFFFE;
  uint32_t b = 0x40000000;
  uint32_t c = 0x3FFFFFFF;
};

// Sets the offsets of a protocol kind; kinds 4 and above leave them as
// they are and answer false.
inline bool ApplyLockProtocol(int kind, LockOffsets* offsets) {
  switch (kind) {
    case kDefaultLock:
    case kFoxLock: *offsets = LockOffsets{0x7FFFFFFE, 0x40000000, 0x3FFFFFFF}; return true;
    case kDB4Lock: *offsets = LockOffsets{0xEFFFFFFF, 0x40000000, 0xB0000000}; return true;
    case kClipLock: *offsets = LockOffsets{1000000000, 1000000000, 1000000000}; return true;
    default: return false;
  }
}

}  // namespace tessera
