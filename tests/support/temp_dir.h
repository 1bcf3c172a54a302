// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testing_support {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pyx-test-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    path_ = made != nullptr ? made : tmpl;
  }
  // PYX_KEEP_TEST_FILES=1 keeps the files of a failing run for a look.
  ~TempDir() {
    if (std::getenv("PYX_KEEP_TEST_FILES") != nullptr) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace testing_support
