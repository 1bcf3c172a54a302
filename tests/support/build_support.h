// Test scaffolding shared by the tests of the side-by-side builds (the
// tags of one file, and several single-tag files).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/key_sort.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace testing_support {

// The key sort's worker threads and the bound of its in-memory runs for one
// scope; both as they were afterwards.
struct SortSettings {
  SortSettings(bool threads, size_t run_memory) {
    tessera::TktSort::SpillSettings s = saved;
    s.run_memory = run_memory;
    tessera::TktSort::SetSpillSettings(s);
    tessera::TktSort::SetWorkerThreads(threads);
  }
  ~SortSettings() {
    tessera::TktSort::SetSpillSettings(saved);
    tessera::TktSort::SetWorkerThreads(true);
  }
  SortSettings(const SortSettings&) = delete;
  SortSettings& operator=(const SortSettings&) = delete;
  tessera::TktSort::SpillSettings saved = tessera::TktSort::CurrentSpillSettings();
};

// A table, opened exclusive and writable, that records every status report
// and throws from one of them (a user giving up) when asked to: in build
// pass `cancel_pass` (counted from 1 at each pass's first phase), phase
// `cancel_phase`, at step `at`.
class ReportingTable : public tessera::KTO_dBHandler {
 public:
  explicit ReportingTable(const std::string& path, int cancel_pass = 0, int32_t cancel_phase = 0, int32_t at = 0)
      : KTO_dBHandler(path, false, true), cancel_pass_(cancel_pass), cancel_phase_(cancel_phase), at_(at) {}
  void StatusUpdate(int32_t stat1, int32_t stat2, int32_t stat3) override {
    reports.emplace_back(stat1, stat2, stat3);
    if (stat1 == -1) {
      phase_ = stat2;
      if (stat2 == 1) ++pass_;
    }
    if (pass_ == cancel_pass_ && stat1 > 0 && phase_ == cancel_phase_ && stat2 == at_)
      throw std::runtime_error("cancelled");
  }
  std::vector<std::tuple<int32_t, int32_t, int32_t>> reports;

 private:
  int cancel_pass_;
  int32_t cancel_phase_, at_;
  int pass_ = 0;
  int32_t phase_ = 0;
};

// The table a suite's builds read: `cards` sample cards, every 997th from
// the 7th deleted (so that keys holding DELETED() differ), made once for
// the suite and copied into each test's folder.
class MasterTable {
 public:
  void Make(int64_t cards) {
    tessera::EngineScope engine;
    dir_ = std::make_unique<TempDir>();
    pyx_sample::WriteSampleTable(dir_->path(), cards, 13, true);
    tessera::KTO_dBHandler t(dir_->path() + "/Pyx.DBF", false, true);
    for (int32_t r = 7; r <= t.RecordCount(); r += 997) {
      t.GotoRecord(r);
      t.MarkDeleted();
    }
  }
  void Drop() { dir_.reset(); }
  void CopyTo(const std::string& table) const {
    std::filesystem::copy_file(dir_->path() + "/Pyx.DBF", table);
  }

 private:
  std::unique_ptr<TempDir> dir_;
};

// Runs a build that must fail and gives its error's text (empty, with a
// test failure, when the build went through).
template <class Build>
std::string FailureOf(Build&& build) {
  try {
    build();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "the build went through";
  return {};
}

}  // namespace testing_support
