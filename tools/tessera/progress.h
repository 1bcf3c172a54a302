// Progress of long work (index builds, checks) on standard error: one line,
// redrawn in place, with the phase, a percentage and the records per second.
// Shown only when standard error is a terminal, unless --progress asks for it
// anyway; --no-progress turns it off. Nothing else is ever written to the
// line, so a pipe or a log file sees no progress at all by default.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "engine/dbf_handler.h"

namespace tessera_tool {

enum class ProgressMode { kAuto, kAlways, kNever };

// Set once by main from --progress / --no-progress.
void SetProgressMode(ProgressMode mode);

class ProgressLine {
 public:
  // `what` names the job, e.g. "index CALL".
  explicit ProgressLine(std::string what);
  ~ProgressLine();  // ends the line (Finish) if it was drawn

  bool Enabled() const { return enabled_; }
  // A new phase ("reading", "writing", "checking") of `total` units.
  void Phase(std::string name, int64_t total);
  // `done` units of the current phase are done. Cheap when nothing is due.
  void Update(int64_t done);
  // Draws the final state and moves to the next line.
  void Finish();

 private:
  void Draw(bool final);

  using Clock = std::chrono::steady_clock;
  std::string what_, phase_;
  bool enabled_ = false, drawn_ = false, finished_ = false;
  int64_t total_ = 0, done_ = 0;
  int last_percent_ = -1;
  Clock::time_point phase_start_, last_draw_;
};

// A table whose index builds and record reads feed a ProgressLine: the
// builds report their reading and writing phases through StatusUpdate; a
// check (which reads every record once per tag) counts record reads after
// ExpectReads.
class ProgressTable : public tessera::KTO_dBHandler {
 public:
  ProgressTable(std::string_view file_name, bool shared, bool writable, ProgressLine& line)
      : KTO_dBHandler(file_name, shared, writable), line_(line) {}

  // The next `total` record reads are one "checking" phase.
  void ExpectReads(int64_t total);

  void StatusUpdate(int32_t kind, int32_t position, int32_t total) override;
  void RecordEvent(int event, int32_t record) override;

 private:
  ProgressLine& line_;
  int64_t reads_ = 0;
  bool counting_reads_ = false;
};

}  // namespace tessera_tool
