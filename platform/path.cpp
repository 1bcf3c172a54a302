#include "platform/path.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/last_error.h"

namespace plat {
namespace {

// Decodes UTF-8 leniently (a stray byte stands for itself) and folds each
// code point to lower case, so "PYX.DBF" and "Pyx.dbf" compare equal and so
// do Cyrillic directory names in either case.
std::u32string Fold(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp = c;
    size_t len = 1;
    if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
    if (len > 1) {
      bool ok = i + len <= s.size();
      for (size_t k = 1; ok && k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) ok = false;
        else cp = (cp << 6) | (cc & 0x3F);
      }
      if (!ok) { cp = c; len = 1; }
    }
    i += len;
    if (cp < 0x80) {
      if (cp >= 'A' && cp <= 'Z') cp += 'a' - 'A';
    } else {
      // Folded by hand rather than by towlower so the result does not
      // depend on the process locale: Latin-1 and Cyrillic capitals.
      if ((cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) || (cp >= 0x410 && cp <= 0x42F)) cp += 0x20;
      else if (cp >= 0x400 && cp <= 0x40F) cp += 0x50;
    }
    out.push_back(cp);
  }
  return out;
}

bool Exists(const std::string& p) {
  struct stat st;
  return ::lstat(p.c_str(), &st) == 0;
}

std::vector<std::string> SplitComponents(std::string_view path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    size_t j = i;
    while (j < path.size() && path[j] != '/') ++j;
    if (j > i) parts.emplace_back(path.substr(i, j - i));
    i = j;
  }
  return parts;
}

}  // namespace

std::string UpperName(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::string FullPath(std::string_view path) {
  std::string abs;
  if (path.empty() || path[0] != '/') {
    std::vector<char> buf(4096);
    if (::getcwd(buf.data(), buf.size()) != nullptr) abs = buf.data();
    abs += '/';
  }
  abs += path;
  std::vector<std::string> out;
  for (auto& part : SplitComponents(abs)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.push_back(std::move(part));
  }
  std::string result;
  for (const auto& part : out) {
    result += '/';
    result += part;
  }
  if (result.empty()) result.push_back('/');
  if (path.size() > 1 && path.back() == '/' && result != "/") result += '/';
  return result;
}

std::string ResolveCase(std::string_view path) {
  const bool absolute = !path.empty() && path[0] == '/';
  std::string done = absolute ? "/" : "";
  const auto parts = SplitComponents(path);
  bool lost = false;  // once a component is missing, the rest cannot exist
  for (size_t k = 0; k < parts.size(); ++k) {
    const std::string& part = parts[k];
    std::string candidate = done + part;
    std::string chosen = part;
    if (!lost && part != "." && part != ".." && !Exists(candidate)) {
      const std::u32string want = Fold(part);
      DIR* dir = ::opendir(done.empty() ? "." : done.c_str());
      bool found = false;
      if (dir != nullptr) {
        while (dirent* e = ::readdir(dir)) {
          std::string_view name(e->d_name);
          if (name == "." || name == "..") continue;
          if (Fold(name) == want) {
            chosen = std::string(name);
            found = true;
            break;
          }
        }
        ::closedir(dir);
      }
      if (!found) lost = true;
    }
    done += chosen;
    if (k + 1 < parts.size()) done += '/';
  }
  if (path.size() > 1 && path.back() == '/' && !done.empty() && done.back() != '/') done += '/';
  return done;
}

bool FileExists(std::string_view path) { return Exists(ResolveCase(path)); }

bool DeleteFile(std::string_view path) {
  if (::unlink(ResolveCase(path).c_str()) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool RenameFile(std::string_view from, std::string_view to) {
  const std::string src = ResolveCase(from);
  // The directory of the target is resolved like any other path; its last
  // component keeps the caller's spelling unless a file of that name in
  // another case already exists, which is then replaced.
  const std::string dst = ResolveCase(to);
  if (::rename(src.c_str(), dst.c_str()) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool RenameFileNoReplace(std::string_view from, std::string_view to) {
  const std::string src = ResolveCase(from);
  const std::string dst = ResolveCase(to);
  if (src == dst) return true;
  if (Exists(dst)) {
    SetLastError(kErrAlreadyExists);
    return false;
  }
  // The check above covers the names the engine would find in another
  // letter case; the kernel refuses a name that appeared since.
  if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) != 0) {
    const int err = errno;
    if (err == EEXIST) {
      SetLastError(kErrAlreadyExists);
      return false;
    }
    // A file system without the flag: the check above is all there is.
    if (err != EINVAL && err != ENOSYS) {
      SetLastErrorFromErrno(err);
      return false;
    }
    if (::rename(src.c_str(), dst.c_str()) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
  }
  return true;
}

std::string DirectoryOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string ConfigDirectory() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/')
    return xdg;
  const char* home = std::getenv("HOME");
  std::string h = home != nullptr ? home : "";
  if (h.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
      h = pw->pw_dir;
  }
  return h + "/.config";
}

void SleepMilliseconds(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace plat
