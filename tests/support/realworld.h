// The files other programs wrote (shared/realworld, with a README of what
// each holds). Tests read them where they lie and never write them; a test
// that needs one skips with a message when the folder is absent.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testing_support {

// The folder: $PYX_REALWORLD when set, else the one the build found.
inline std::string RealWorldDir() {
  if (const char* env = std::getenv("PYX_REALWORLD"); env != nullptr && *env != '\0') return env;
#ifdef PYX_REALWORLD
  return PYX_REALWORLD;
#else
  return std::string();
#endif
}

inline bool HaveRealWorld() {
  const std::string dir = RealWorldDir();
  return !dir.empty() && std::filesystem::is_regular_file(dir + "/README.md");
}

// A file of the folder by its relative path ("rubydbf/dbase_31.dbf").
inline std::string RealWorld(const std::string& relative) { return RealWorldDir() + "/" + relative; }

}  // namespace testing_support

// Skips the current test when the folder is absent.
#define PYX_NEED_REALWORLD()                                                                      \
  do {                                                                                            \
    if (!::testing_support::HaveRealWorld())                                                      \
      GTEST_SKIP() << "the real-world files are absent (" << ::testing_support::RealWorldDir()   \
                   << "); set PYX_REALWORLD to their folder";                                     \
  } while (0)
