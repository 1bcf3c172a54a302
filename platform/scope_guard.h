// ScopeGuard: runs a function when the scope holding it ends, by return or
// by exception. For state an operation changes for its own length and must
// put back however it ends: a flag that says the operation is under way, a
// table option switched for one record, a cursor moved for a lookup.
//
// The function runs from a destructor, so it must not throw: one that calls
// something that can fails catches what it calls.
#pragma once

#include <utility>

namespace plat {

template <class F>
class ScopeGuard {
 public:
  explicit ScopeGuard(F f) : f_(std::move(f)) {}
  ~ScopeGuard() { f_(); }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;

 private:
  F f_;
};

}  // namespace plat
