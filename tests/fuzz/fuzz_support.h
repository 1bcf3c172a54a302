// Shared pieces of the libFuzzer harnesses: one scratch folder per process
// (in /dev/shm when there is one, so that runs are not bound by the disk),
// files written from the fuzzer's bytes, the engine started once, and the
// line between an engine error (a sound answer to bad input) and anything
// else thrown (a finding).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/engine.h"
#include "engine/errors.h"

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

// Runs `f`: the engine's own errors are how it refuses bad input and are
// swallowed; any other exception escaping the engine (std::bad_alloc,
// std::out_of_range, ...) is a finding and aborts with its text.
template <typename F>
void EngineErrorsOnly(F&& f) {
  try {
    f();
  } catch (const tessera::ETesseraError&) {
  } catch (const tessera::ETesseraExpression&) {
  } catch (const tessera::ETesseraEncryption&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "finding: exception that is not an engine error: %s\n", e.what());
    std::abort();
  } catch (...) {
    std::fprintf(stderr, "finding: exception that is not an engine error\n");
    std::abort();
  }
}

}  // namespace fuzz_support
