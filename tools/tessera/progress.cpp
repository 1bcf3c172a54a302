#include "tools/tessera/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tessera_tool {
namespace {

ProgressMode g_mode = ProgressMode::kAuto;

// A terminal is redrawn at most this often; the final state is always drawn.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

void SetProgressMode(ProgressMode mode) { g_mode = mode; }

ProgressLine::ProgressLine(std::string what) : what_(std::move(what)) {
  enabled_ = g_mode == ProgressMode::kAlways || (g_mode == ProgressMode::kAuto && ::isatty(STDERR_FILENO) == 1);
}

ProgressLine::~ProgressLine() {
  if (drawn_ && !finished_) Finish();
}

void ProgressLine::Phase(std::string name, int64_t total) {
  if (!enabled_) return;
  phase_ = std::move(name);
  total_ = total;
  done_ = 0;
  last_percent_ = -1;
  phase_start_ = Clock::now();
  if (!drawn_ || phase_start_ - last_draw_ >= kRedrawInterval) Draw(false);
}

void ProgressLine::Update(int64_t done) {
  if (!enabled_) return;
  done_ = done;
  // The clock is read only when the percentage moves or every 256 units,
  // so that counting stays cheap beside the work counted.
  const int percent = total_ > 0 ? static_cast<int>(100 * std::min(done_, total_) / total_) : 0;
  if (percent == last_percent_ && (done & 255) != 0) return;
  last_percent_ = percent;
  if (Clock::now() - last_draw_ >= kRedrawInterval) Draw(false);
}

void ProgressLine::Finish() {
  if (!enabled_ || finished_) return;
  if (!phase_.empty()) Draw(true);
  if (drawn_) std::fputc('\n', stderr);
  std::fflush(stderr);
  finished_ = true;
}

void ProgressLine::Draw(bool final) {
  const auto now = Clock::now();
  const double seconds = std::chrono::duration<double>(now - phase_start_).count();
  const int64_t done = final && total_ > 0 ? std::max(done_, total_) : done_;
  const int percent = total_ > 0 ? static_cast<int>(100 * std::min(done, total_) / total_) : 100;
  char rate[48] = "";
  if (done > 0) std::snprintf(rate, sizeof rate, ", %.0f records/s", static_cast<double>(done) / std::max(seconds, 1e-6));
  // \r goes back to the start of the line, ESC[K clears what a longer
  // earlier state left behind.
  std::fprintf(stderr, "\r%s: %s %3d%% (%lld/%lld)%s\x1b[K", what_.c_str(), phase_.c_str(), percent,
               static_cast<long long>(done), static_cast<long long>(total_), rate);
  std::fflush(stderr);
  last_draw_ = now;
  drawn_ = true;
}

void ProgressTable::ExpectReads(int64_t total) {
  reads_ = 0;
  counting_reads_ = true;
  line_.Phase("checking", total);
}

void ProgressTable::StatusUpdate(int32_t kind, int32_t position, int32_t total) {
  // The build's protocol: (-1, phase, count) starts reading (1) or writing
  // (2); (1, n, 0) read record n; (2, n, 0) wrote key n; (0, 0, 0) ends a
  // phase.
  if (kind == -1) line_.Phase(position == 1 ? "reading" : "writing", total);
  else if (kind > 0) line_.Update(position);
}

void ProgressTable::RecordEvent(int event, int32_t record) {
  KTO_dBHandler::RecordEvent(event, record);
  if (counting_reads_ && event == tessera::kEventAfterRead) line_.Update(++reads_);
}

}  // namespace tessera_tool
