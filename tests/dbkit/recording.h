// Helpers of the framework's tests: a data link and event hooks that write
// what they see into a log.
#pragma once

#include <string>
#include <vector>

#include "dbkit/data_link.h"
#include "dbkit/data_set.h"
#include "dbkit/field.h"

namespace dbkit_test {

using Log = std::vector<std::string>;

// Hooks every event of the dataset, logging its name.
inline void RecordEvents(dbkit::DataSet& ds, Log& log) {
  auto hook = [&log](const char* name) { return [&log, name](dbkit::DataSet&) { log.push_back(name); }; };
  ds.BeforeOpen = hook("BeforeOpen");
  ds.AfterOpen = hook("AfterOpen");
  ds.BeforeClose = hook("BeforeClose");
  ds.AfterClose = hook("AfterClose");
  ds.BeforeInsert = hook("BeforeInsert");
  ds.AfterInsert = hook("AfterInsert");
  ds.BeforeEdit = hook("BeforeEdit");
  ds.AfterEdit = hook("AfterEdit");
  ds.BeforePost = hook("BeforePost");
  ds.AfterPost = hook("AfterPost");
  ds.BeforeCancel = hook("BeforeCancel");
  ds.AfterCancel = hook("AfterCancel");
  ds.BeforeDelete = hook("BeforeDelete");
  ds.AfterDelete = hook("AfterDelete");
  ds.BeforeScroll = hook("BeforeScroll");
  ds.AfterScroll = hook("AfterScroll");
  ds.OnNewRecord = hook("OnNewRecord");
}

// A link that logs its notifications ("active", "inactive", "changed",
// "scrolled N", "record NAME" / "record *", "editing", "browsing",
// "update", "check").
class RecordingLink : public dbkit::DataLink {
 public:
  explicit RecordingLink(Log& log, int buffers = 1) : log_(log) { SetBufferCount(buffers); }

 protected:
  void ActiveChanged() override { log_.push_back(Active() ? "active" : "inactive"); }
  void DataSetChanged() override { log_.push_back("changed"); }
  void DataSetScrolled(int distance) override { log_.push_back("scrolled " + std::to_string(distance)); }
  void RecordChanged(dbkit::Field* field) override {
    log_.push_back(field != nullptr ? "record " + field->FieldName() : "record *");
  }
  void EditingChanged() override { log_.push_back(Editing() ? "editing" : "browsing"); }
  void UpdateData() override { log_.push_back("update"); }
  void CheckBrowseMode() override { log_.push_back("check"); }

 private:
  Log& log_;
};

}  // namespace dbkit_test
