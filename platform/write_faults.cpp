#include "platform/write_faults.h"

#include <atomic>

namespace plat {
namespace {

// Atomic: a build of several tags writes its work files on one thread
// while it writes the index on another, both counted here.
std::atomic<WriteFault> g_kind{WriteFault::kNone};
std::atomic<int64_t> g_at{0};
std::atomic<int64_t> g_calls{0};
std::atomic<int32_t> g_error{0};

}  // namespace

void ArmWriteFault(WriteFault kind, int64_t call, int32_t error) {
  g_kind = kind;
  g_at = call;
  g_error = kind == WriteFault::kDiskFull ? 112 : error;
  g_calls = 0;
}

void DisarmWriteFault() {
  g_kind = WriteFault::kNone;
  g_calls = 0;
}

WriteFault ArmedWriteFault() { return g_kind; }

int64_t WriteCallCount() { return g_calls; }
void ResetWriteCount() { g_calls = 0; }

int32_t WriteFaultFor(bool grows) {
  const int64_t call = g_calls++;
  switch (g_kind) {
    case WriteFault::kNone: return 0;
    case WriteFault::kOnce: return call == g_at ? g_error.load() : 0;
    case WriteFault::kDiskFull: return call >= g_at && grows ? g_error.load() : 0;
    case WriteFault::kBroken: return call >= g_at ? g_error.load() : 0;
  }
  return 0;
}

}  // namespace plat
