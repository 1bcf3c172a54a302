// Callbook start-up on a large table: from the first activation of the
// window to the card of QZ6ZZZ shown, with "PYX.CDX" present and with it
// missing (the whole index build), and the peak memory of each. Each case
// runs in its own process so that its peak is its own. The floor beside
// them: reading the table file once from start to end.
//
//   pyxcdx_startup [CARDS]      (default 1000000)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/callbook_controller.h"
#include "bench_util.h"
#include "dataset/tessera_data_set.h"
#include "engine/engine.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

// A view that only counts: the window's own cost is not measured here.
class NullView : public pyx::CallbookView {
 public:
  void Show(std::string_view) override {}
  void Hide(std::string_view) override {}
  void BringToFront(std::string_view) override {}
  void SendToBack(std::string_view) override {}
  void ProcessMessages() override { ++repaints; }
  void SetText(std::string_view, std::string_view) override {}
  void SetHint(std::string_view, std::string_view) override {}
  void SetFocus(std::string_view) override {}
  void SetMenuEnabled(std::string_view, bool) override {}
  void SetReadOnly(std::string_view, bool) override {}
  void SetTabStop(std::string_view, bool) override {}
  void SetColour(std::string_view, uint32_t) override {}
  void SetNavigatorButtons(uint32_t) override {}
  void SetNavigatorWidth(int) override {}
  void PressNavigatorButton(int) override {}
  void SetGaugeProgress(int) override {}
  void RepaintWait() override {}
  void Close() override {}
  int repaints = 0;
};

void RunCase(const char* what) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    tessera::EngineScope engine;
    bench::Stopwatch watch;
    double seconds = 0;
    int repaints = 0;
    std::string call;
    {
      pyx::CallbookController controller;
      NullView view;
      controller.SetView(&view);
      controller.FormActivate();
      seconds = watch.Seconds();
      repaints = view.repaints;
      call = controller.TablePYX().FieldByName("CALL_")->AsString();
    }
    std::printf("%-34s %8.2f s   peak %7.1f MiB   card %s, %d repaints\n", what, seconds, bench::PeakMiB(),
                call.c_str(), repaints);
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
}

double ReadFloor(const std::string& path) {
  bench::Stopwatch watch;
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<char> buf(1 << 20);
  while (::read(fd, buf.data(), buf.size()) > 0) {
  }
  ::close(fd);
  return watch.Seconds();
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t cards = argc > 1 ? std::atoll(argv[1]) : 1000000;
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("pyx-bench-startup-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    tessera::EngineScope engine;
    pyx_sample::WriteSampleTable(dir.string(), cards, 1, true);
  }
  fs::current_path(dir);
  std::printf("%lld cards, table %.1f MiB\n", static_cast<long long>(cards),
              static_cast<double>(fs::file_size(dir / "Pyx.DBF")) / 1048576.0);
  std::printf("%-34s %8.2f s\n", "floor: read the table file once", ReadFloor((dir / "Pyx.DBF").string()));
  RunCase("start, PYX.CDX missing (build)");
  std::printf("%-34s %8.1f MiB\n", "PYX.CDX size", static_cast<double>(fs::file_size(dir / "PYX.CDX")) / 1048576.0);
  RunCase("start, PYX.CDX present");
  fs::current_path("/");
  fs::remove_all(dir);
  return 0;
}
