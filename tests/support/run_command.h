// Running another program from a test, as a user would from a shell.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
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

}  // namespace testing_support
