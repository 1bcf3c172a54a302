// Shared pieces of the libFuzzer harnesses: one scratch folder per process
// (in /dev/shm when there is one, so that runs are not bound by the disk),
// files written from the fuzzer's bytes, and the engine started once.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/engine.h"

namespace fuzz_support {

inline const std::string& ScratchDir() {
  static const std::string dir = [] {
    const std::string base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string d = base + "/tessera-fuzz-" + std::to_string(::getpid());
    std::filesystem::create_directories(d);
    return d;
  }();
  // Registered after the string was built, so it runs before the string's
  // own destructor at exit.
  static const bool cleanup = [] {
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    });
    return true;
  }();
  (void)cleanup;
  return dir;
}

inline std::string Scratch(const std::string& name) { return ScratchDir() + "/" + name; }

inline void PutFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline void CopyFixture(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

inline void StartEngine() {
  static tessera::EngineScope* engine = new tessera::EngineScope();  // lives for the process
  (void)engine;
}

}  // namespace fuzz_support
