// Another xBase program, as far as its locks go: a child process that
// takes classic POSIX record locks (fcntl F_SETLK, as programs of other
// engines take them on Linux) on the bytes the test names, and answers
// whether each was granted. The test drives it step by step through a
// pipe, so the order of events is the test's own.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

namespace testing_support {

class ForeignLocker {
 public:
  // Forks the child before the test opens anything of its own (the child
  // opens its own descriptors: inherited ones would share this process's
  // locks).
  ForeignLocker() {
    int to_child[2], from_child[2];
    if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(to_child[1]);
      ::close(from_child[0]);
      ::_exit(Serve(to_child[0], from_child[1]));
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    out_ = to_child[1];
    in_ = from_child[0];
  }
  ~ForeignLocker() {
    if (pid_ <= 0) return;
    Request r{};
    r.op = 'Q';
    Send(r);
    ::close(out_);
    ::close(in_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  ForeignLocker(const ForeignLocker&) = delete;
  ForeignLocker& operator=(const ForeignLocker&) = delete;

  bool Started() const { return pid_ > 0; }

  // Takes an exclusive (write) or shared (read) lock on `length` bytes at
  // `offset` of the file; true when granted at once.
  bool Lock(const std::string& path, uint64_t offset, uint64_t length, bool exclusive) {
    Request r = Make(exclusive ? 'W' : 'R', path, offset, length);
    return Send(r) == 'Y';
  }
  bool Unlock(const std::string& path, uint64_t offset, uint64_t length) {
    Request r = Make('U', path, offset, length);
    return Send(r) == 'Y';
  }
  // Whether such a lock could be had now (taken and let go at once).
  bool Free(const std::string& path, uint64_t offset, uint64_t length, bool exclusive) {
    if (!Lock(path, offset, length, exclusive)) return false;
    Unlock(path, offset, length);
    return true;
  }

 private:
  struct Request {
    char op;  // W, R lock; U unlock; Q quit
    uint64_t offset;
    uint64_t length;
    char path[1024];
  };
  static Request Make(char op, const std::string& path, uint64_t offset, uint64_t length) {
    Request r{};
    r.op = op;
    r.offset = offset;
    r.length = length;
    std::strncpy(r.path, path.c_str(), sizeof r.path - 1);
    return r;
  }
  char Send(const Request& r) {
    if (::write(out_, &r, sizeof r) != static_cast<ssize_t>(sizeof r)) return 'E';
    char answer = 'E';
    if (r.op == 'Q') return 'Y';
    if (::read(in_, &answer, 1) != 1) return 'E';
    return answer;
  }
  static int Serve(int in, int out) {
    std::map<std::string, int> files;
    Request r;
    while (::read(in, &r, sizeof r) == static_cast<ssize_t>(sizeof r)) {
      if (r.op == 'Q') break;
      int& fd = files[r.path];
      if (fd <= 0) fd = ::open(r.path, O_RDWR);
      struct flock fl {};
      fl.l_type = r.op == 'W' ? F_WRLCK : r.op == 'R' ? F_RDLCK : F_UNLCK;
      fl.l_whence = SEEK_SET;
      fl.l_start = static_cast<off_t>(r.offset);
      fl.l_len = static_cast<off_t>(r.length);
      const char answer = fd > 0 && ::fcntl(fd, F_SETLK, &fl) == 0 ? 'Y' : 'N';
      if (::write(out, &answer, 1) != 1) break;
    }
    return 0;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
};

}  // namespace testing_support
