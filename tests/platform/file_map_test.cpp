#include "platform/file_map.h"

#include <gtest/gtest.h>
#include <sys/vfs.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace {

using testing_support::TempDir;

// A view of a shared file is used only where storing into it is as safe
// as a write call: a local file system that overwrites in place.
TEST(ReadMapping, SharedViewOnlyOnLocalInPlaceFileSystems) {
  TempDir dir;
  const std::string path = dir.path() + "/view.bin";
  std::ofstream(path) << "x";
  struct statfs fs {};
  ASSERT_EQ(::statfs(path.c_str(), &fs), 0);
  const bool local = fs.f_type == 0xEF53 || fs.f_type == 0x01021994;
  EXPECT_EQ(plat::ReadMapping::SharedViewIsSafe(path), local);
  // A file system of the kernel's own is no place for one; a file that
  // is not there has none.
  EXPECT_FALSE(plat::ReadMapping::SharedViewIsSafe("/proc/self/status"));
  EXPECT_FALSE(plat::ReadMapping::SharedViewIsSafe(dir.path() + "/missing.bin"));
  if (std::filesystem::exists("/dev/shm")) {
    struct statfs shm {};
    if (::statfs("/dev/shm", &shm) == 0 && shm.f_type == 0x01021994) {
      const std::string in_shm = "/dev/shm/pyx-view-test.bin";
      std::ofstream(in_shm) << "x";
      EXPECT_TRUE(plat::ReadMapping::SharedViewIsSafe(in_shm));
      std::filesystem::remove(in_shm);
    }
  }
}

}  // namespace
