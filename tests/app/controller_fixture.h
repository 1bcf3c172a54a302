// The controller tests' fixture: a copy of the fixture callbook (3000
// cards, record 1001 is QZ6ZZZ) in a fresh folder that is the current
// directory, a controller over it and a recording view in place of the
// window.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/callbook_controller.h"
#include "dataset/tessera_data_set.h"
#include "dbkit/field.h"
#include "engine/engine.h"
#include "platform/codepage.h"
#include "recording_view.h"
#include "support/temp_dir.h"

namespace pyx_test {

namespace fs = std::filesystem;
using pyx::CallbookController;
using Calls = std::vector<std::string>;

// Position of a call, or -1.
inline int IndexOf(const Calls& calls, const std::string& call) {
  auto it = std::find(calls.begin(), calls.end(), call);
  return it == calls.end() ? -1 : static_cast<int>(it - calls.begin());
}

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!tessera::EngineStarted()) tessera::EngineStart();
    old_dir_ = fs::current_path();
    fs::copy_file(std::string(PYX_FIXTURES) + "/callbook/Pyx.DBF", dir_ / "Pyx.DBF");
    fs::current_path(dir_.path());
  }
  void TearDown() override {
    view_.reset();
    controller_.reset();
    fs::current_path(old_dir_);
  }
  void WithIndex() { fs::copy_file(std::string(PYX_FIXTURES) + "/callbook/PYX.CDX", dir_ / "PYX.CDX"); }
  void Start() {
    controller_ = std::make_unique<CallbookController>();
    view_ = std::make_unique<RecordingView>(*controller_);
    controller_->FormActivate();
  }
  tessera::TTesseraDataSet& Table() { return controller_->TablePYX(); }
  // A field of the current card, in UTF-8 without trailing blanks.
  std::string Card(const char* field) { return plat::AnsiToUtf8(Table().FieldByName(field)->AsString()); }
  bool AtFirst() {
    Table().Prior();
    const bool bof = Table().Bof();
    if (!bof) Table().Next();
    return bof;
  }
  bool AtLast() {
    Table().Next();
    const bool eof = Table().Eof();
    if (!eof) Table().Prior();
    return eof;
  }

  testing_support::TempDir dir_;
  fs::path old_dir_;
  std::unique_ptr<CallbookController> controller_;
  std::unique_ptr<RecordingView> view_;
};

}  // namespace pyx_test
