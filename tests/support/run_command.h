// Running another program from a test, as a user would from a shell.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct CommandResult {
  int status = -1;  // the exit status; -1 when it did not exit (a signal) or did not start
  std::string out;  // what it wrote on standard output
};

// Runs `command` through the shell.
inline CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  FILE* p = ::popen(command.c_str(), "r");
  if (p == nullptr) return r;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = ::pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Runs `command` and answers its output; the test fails unless it exits 0.
inline std::string RunChecked(const std::string& command) {
  CommandResult r = RunCommand(command);
  EXPECT_EQ(r.status, 0) << command << "\n" << r.out;
  return std::move(r.out);
}

// The lines of a program's output, without their line ends; a last line
// without one is not a whole line and is left out.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  return out;
}

// Polls `condition` until it holds or `timeout` has passed; answers whether
// it held. For conditions no event tells of (another process's state): the
// deadline is a bound on a hang, generous so that a busy machine never
// reaches it, not a measure of how long anything takes.
template <typename Condition>
bool WaitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(120)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (auto pause = std::chrono::milliseconds(1);; pause = std::min(pause * 2, std::chrono::milliseconds(50))) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
  }
}

// A program started through the shell that runs while the test goes on.
class BackgroundCommand {
 public:
  explicit BackgroundCommand(const std::string& command) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], 1);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~BackgroundCommand() {
    if (pid_ > 0) Finish();
  }
  BackgroundCommand(const BackgroundCommand&) = delete;
  BackgroundCommand& operator=(const BackgroundCommand&) = delete;

  pid_t Pid() const { return pid_; }

  // Whether the program has `path` open now.
  bool HasOpen(const std::string& path) const {
    std::error_code ec;
    const auto want = std::filesystem::weakly_canonical(path, ec);
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec))
      if (std::filesystem::read_symlink(fd.path(), ec) == want) return true;
    return false;
  }

  // Waits for the program to end; its exit status and standard output.
  CommandResult Finish() {
    CommandResult r;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(out_, buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
    ::close(out_);
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    pid_ = -1;
    return r;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

}  // namespace testing_support
