#include "platform/file_map.h"

#include <gtest/gtest.h>
#include <sys/vfs.h>

#include <filesystem>
#include <fstream>
#include <string>

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

// Entering the cached pages into a view changes nothing it shows: for a
// length inside the file, one that ends inside the last page, and one that
// (against the rule) reaches past the end of the file, on a view mapped
// longer than the file. No page past the end is touched (that would be a
// bus error).
TEST(ReadMapping, MappingCachedPagesKeepsTheBytes) {
  TempDir dir;
  const std::string path = dir.path() + "/pages.bin";
  std::string bytes;
  for (int i = 0; i < 3 * 4096 + 100; ++i) bytes += static_cast<char>('a' + i % 26);
  std::ofstream(path, std::ios::binary) << bytes;
  const auto size = static_cast<int64_t>(bytes.size());
  for (const int64_t length : {int64_t{4096}, size, size + (int64_t{1} << 20)}) {
    plat::ReadMapping view;
    ASSERT_TRUE(view.Map(path, size + (int64_t{1} << 20)));
    view.MapCachedPages(length);
    EXPECT_EQ(std::string(view.data(), bytes.size()), bytes) << length;
  }
  plat::ReadMapping none;
  none.MapCachedPages(100);  // nothing mapped: nothing done
  EXPECT_EQ(none.data(), nullptr);
}

}  // namespace
