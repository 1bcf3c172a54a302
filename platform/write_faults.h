// A failing disk for tests. Every call that changes a file's contents or
// length (FileHandle::WriteAt and SetEnd) is counted; a test may choose the
// call at which the disk starts to fail and how:
//   kOnce      only that call fails (a transient I/O error);
//   kDiskFull  from that call on, every call that would make a file longer
//              fails with error 112; rewriting bytes inside a file and
//              cutting it still work, as on a real full disk;
//   kBroken    from that call on, every call fails.
// The default is no fault. Process-wide: tests arm it on one thread around
// one operation (whose write calls, made on any thread, are counted).
#pragma once

#include <cstdint>

namespace plat {

enum class WriteFault { kNone, kOnce, kDiskFull, kBroken };

// Arms a fault at call number `call` counted from now (0: the very next
// write). `error` is the Windows error number the failing calls give
// (112 is forced for kDiskFull).
void ArmWriteFault(WriteFault kind, int64_t call, int32_t error);
void DisarmWriteFault();
// Write calls made since the last ArmWriteFault / DisarmWriteFault /
// ResetWriteCount.
int64_t WriteCallCount();
void ResetWriteCount();

// Used by FileHandle: counts the call and answers the error it must fail
// with, 0 to go ahead. `grows` tells whether the call would make the file
// longer.
int32_t WriteFaultFor(bool grows);
// The armed kind (FileHandle only works out `grows` for kDiskFull).
WriteFault ArmedWriteFault();

}  // namespace plat
