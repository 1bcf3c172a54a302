// Timing and memory readings for the benchmark programs.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace bench {

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// Peak resident set of the process so far, in MiB.
inline double PeakMiB() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

inline void Report(const std::string& what, double count, double seconds, const char* unit = "records") {
  std::printf("%-48s %10.0f %s in %7.3f s = %12.0f %s/s   (peak %.1f MiB)\n", what.c_str(), count, unit, seconds,
              seconds > 0 ? count / seconds : 0, unit, PeakMiB());
}

// The --cards N and --dir DIR the sample benchmarks take: a million cards
// by default, in a directory of the benchmark's own under the temporary
// one, which is created.
struct SampleArgs {
  long long cards = 1000000;
  std::string dir;
};

inline SampleArgs ParseSampleArgs(int argc, char** argv, const char* default_dir) {
  SampleArgs a;
  a.dir = std::filesystem::temp_directory_path() / default_dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--cards") a.cards = std::atoll(argv[i + 1]);
    if (std::string(argv[i]) == "--dir") a.dir = argv[i + 1];
  }
  std::filesystem::create_directories(a.dir);
  return a;
}

}  // namespace bench
