#include "platform/file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/last_error.h"
#include "platform/path.h"
#include "support/temp_dir.h"

namespace {

using plat::FileHandle;
using testing_support::TempDir;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(FileHandle, MissingFileAndFolderGiveWindowsNumbers) {
  TempDir dir;
  EXPECT_FALSE(FileHandle::Open(dir / "NONE.DBF", false, true).valid());
  EXPECT_EQ(plat::LastError(), plat::kErrFileNotFound);
  WriteFile(dir / "plain", "x");
  EXPECT_FALSE(FileHandle::Open(dir / "plain/NONE.DBF", false, true).valid());
  EXPECT_EQ(plat::LastError(), plat::kErrPathNotFound);
  EXPECT_FALSE(FileHandle::Open(dir.path(), false, true).valid());
  EXPECT_EQ(plat::LastError(), plat::kErrAccessDenied);
}

TEST(FileHandle, ReadsAndWritesAtOffsets) {
  TempDir dir;
  FileHandle f = FileHandle::Create(dir / "data.bin", true, false);
  ASSERT_TRUE(f.valid());
  ASSERT_TRUE(f.WriteAt(10, "abc", 3));
  EXPECT_EQ(f.Size(), 13);
  char buf[8] = {};
  EXPECT_EQ(f.ReadAt(11, buf, 8), 2);  // short at the end of the file
  EXPECT_EQ(std::string(buf, 2), "bc");
  EXPECT_TRUE(f.SetEnd(4));
  EXPECT_EQ(f.Size(), 4);
  EXPECT_TRUE(f.Flush());
}

TEST(FileHandle, ReadOnlyOpenRefusesWrites) {
  TempDir dir;
  WriteFile(dir / "t.dbf", "0123");
  FileHandle f = FileHandle::Open(dir / "t.dbf", false, true);
  ASSERT_TRUE(f.valid());
  EXPECT_FALSE(f.WriteAt(0, "x", 1));
  EXPECT_EQ(plat::LastError(), plat::kErrAccessDenied);
  EXPECT_FALSE(f.SetEnd(0));
}

TEST(FileHandle, ByteRangeLocksConflictBetweenOpensOfOneProcess) {
  TempDir dir;
  WriteFile(dir / "t.dbf", "0123");
  FileHandle a = FileHandle::Open(dir / "t.dbf", true, true);
  FileHandle b = FileHandle::Open(dir / "t.dbf", true, true);
  ASSERT_TRUE(a.valid() && b.valid());
  ASSERT_TRUE(a.Lock(0x40000000, 0x3FFFFFFF));
  EXPECT_FALSE(b.Lock(0x7FFFFFF0, 1));
  EXPECT_EQ(plat::LastError(), plat::kErrLockViolation);
  EXPECT_TRUE(b.Lock(0x7FFFFFFF, 1));  // just past the end of a's range
  // Closing a third open of the same file keeps a's lock (classic POSIX
  // locks would drop every lock of the process here).
  { FileHandle c = FileHandle::Open(dir / "t.dbf", true, true); }
  EXPECT_FALSE(b.Lock(0x40000000, 1));
  ASSERT_TRUE(a.Unlock(0x40000000, 0x3FFFFFFF));
  EXPECT_TRUE(b.Lock(0x40000000, 1));
}

TEST(FileHandle, ClosingReleasesLocks) {
  TempDir dir;
  WriteFile(dir / "t.dbf", "0123");
  FileHandle a = FileHandle::Open(dir / "t.dbf", true, true);
  FileHandle b = FileHandle::Open(dir / "t.dbf", true, true);
  ASSERT_TRUE(a.Lock(5, 1));
  EXPECT_FALSE(b.Lock(5, 1));
  a.Close();
  EXPECT_TRUE(b.Lock(5, 1));
}

TEST(FileHandle, ExclusiveOpenKeepsEveryOtherOpenOut) {
  TempDir dir;
  WriteFile(dir / "t.dbf", "0123");
  {
    FileHandle shared = FileHandle::Open(dir / "t.dbf", true, true);
    ASSERT_TRUE(shared.valid());
    EXPECT_FALSE(FileHandle::Open(dir / "t.dbf", true, false).valid());
    EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);
    EXPECT_TRUE(FileHandle::Open(dir / "t.dbf", false, true).valid());
  }
  FileHandle exclusive = FileHandle::Open(dir / "t.dbf", true, false);
  ASSERT_TRUE(exclusive.valid());
  EXPECT_FALSE(FileHandle::Open(dir / "t.dbf", false, true).valid());
  EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);
  EXPECT_FALSE(FileHandle::Create(dir / "t.dbf", true, false).valid());
  EXPECT_EQ(plat::LastError(), plat::kErrSharingViolation);
  exclusive.Close();
  EXPECT_TRUE(FileHandle::Open(dir / "t.dbf", false, true).valid());
}

TEST(FileHandle, TemporaryFileHasNoNameAndNeedsAFolderItCanWrite) {
  TempDir dir;
  {
    FileHandle t = FileHandle::CreateTemporary(dir.path());
    ASSERT_TRUE(t.valid());
    ASSERT_TRUE(t.WriteAt(0, "abcdef", 6));
    char back[6] = {};
    EXPECT_EQ(t.ReadAt(2, back, 4), 4);
    EXPECT_EQ(std::string(back, 4), "cdef");
    // Nothing in the folder names it.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
  EXPECT_FALSE(FileHandle::CreateTemporary(dir / "missing").valid());
  EXPECT_TRUE(plat::LastError() == plat::kErrFileNotFound || plat::LastError() == plat::kErrPathNotFound)
      << plat::LastError();
  WriteFile(dir / "plain", "x");
  EXPECT_FALSE(FileHandle::CreateTemporary(dir / "plain").valid());
  EXPECT_NE(plat::LastError(), plat::kErrNone);
}

TEST(FileHandle, LocksConflictAcrossProcesses) {
  TempDir dir;
  WriteFile(dir / "t.dbf", "0123");
  FileHandle a = FileHandle::Open(dir / "t.dbf", true, true);
  ASSERT_TRUE(a.Lock(1000000001, 1));
  const pid_t pid = ::fork();
  if (pid == 0) {
    FileHandle b = FileHandle::Open(dir / "t.dbf", true, true);
    const bool refused = !b.Lock(1000000001, 1) && plat::LastError() == plat::kErrLockViolation;
    const bool other_ok = b.Lock(1000000002, 1);
    ::_exit(refused && other_ok ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Path, UpperCasedNamesOpenFilesOfAnyCase) {
  TempDir dir;
  WriteFile(dir / "Pyx.DBF", "x");
  // The engine upper-cases the whole path, folders included.
  const std::string upper = plat::UpperName(dir / "pyx.dbf");
  EXPECT_EQ(plat::ResolveCase(upper), dir / "Pyx.DBF");
  EXPECT_TRUE(plat::FileExists(dir / "pyx.dbf"));
  EXPECT_TRUE(FileHandle::Open(upper, false, true).valid());
  // An exact match wins over a case-insensitive one.
  WriteFile(dir / "PYX.DBF", "y");
  EXPECT_EQ(plat::ResolveCase(dir / "PYX.DBF"), dir / "PYX.DBF");
}

TEST(Path, NewFileTakesTheGivenSpelling) {
  TempDir dir;
  ASSERT_TRUE(FileHandle::Create(dir / "Memo.Fpt", true, false).valid());
  EXPECT_TRUE(std::ifstream(dir / "Memo.Fpt").good());
  EXPECT_TRUE(plat::FileExists(dir / "MEMO.FPT"));
}

TEST(Path, FullPathIsAbsoluteAndNormal) {
  EXPECT_EQ(plat::FullPath("/a/b/../c/./d"), "/a/c/d");
  EXPECT_EQ(plat::FullPath("/a//b"), "/a/b");
  EXPECT_EQ(plat::FullPath("x.dbf")[0], '/');
  EXPECT_EQ(plat::UpperName("/home/пётр/pyx.dbf"), "/HOME/пётр/PYX.DBF");
  EXPECT_EQ(plat::DirectoryOf("/a/b/c.dbf"), "/a/b/");
}

TEST(Path, ConfigDirectoryFollowsXdg) {
  const char* old = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = old ? old : "";
  ::setenv("XDG_CONFIG_HOME", "/tmp/xdg-here", 1);
  EXPECT_EQ(plat::ConfigDirectory(), "/tmp/xdg-here");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/op", 1);
  EXPECT_EQ(plat::ConfigDirectory(), "/home/op/.config");
  if (old) ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

}  // namespace
