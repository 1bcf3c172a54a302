// Engine start and stop. The process-wide objects are set up in this order:
// settings (constants), the error list, the error handler, the date
// converter, the open-file registry and the function registry of the
// expression language. Stopping closes every disk file still open
// (releasing its lock first) and frees them in reverse order.
#pragma once

namespace tessera {

void EngineStart();
void EngineStop();
bool EngineStarted();

// Starts the engine for the life of a scope (a program's main).
class EngineScope {
 public:
  EngineScope() { EngineStart(); }
  ~EngineScope() { EngineStop(); }
  EngineScope(const EngineScope&) = delete;
  EngineScope& operator=(const EngineScope&) = delete;
};

}  // namespace tessera
