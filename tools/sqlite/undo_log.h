// UndoLog: what the writes of an SQL transaction did to a table, so that
// ROLLBACK (and a failed statement inside a transaction) can take them
// back. xBase files have no transactions of their own: a new record stays
// where it was appended and is marked deleted; a changed record gets its
// bytes from before the change, unless another program has changed it
// since (its change is kept).
//
// The records' images go to a temporary file, so that a transaction of a
// million changes holds a few bytes per change in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tessera_sql {

class UndoLog {
 public:
  struct Entry {
    int32_t recno = 0;
    bool appended = false;
    std::string before;   // a changed record: its bytes before the change
    std::string written;  // a changed record: its bytes as this transaction left them
  };

  UndoLog();
  ~UndoLog();
  UndoLog(const UndoLog&) = delete;
  UndoLog& operator=(const UndoLog&) = delete;

  void Appended(int32_t recno);
  void Changed(int32_t recno, const std::string& before, const std::string& written);
  size_t Size() const { return entries_.size(); }
  // The entries from `from` on, newest first; they leave the log.
  std::vector<Entry> TakeFrom(size_t from);
  void Clear();

  // Savepoints: the log's size when each level began.
  void SetMark(int level) { marks_[level] = entries_.size(); }
  size_t MarkOf(int level) const;
  // Forgets the marks of `level` and above.
  void DropMarks(int level);

 private:
  struct Stored {
    int32_t recno;
    bool appended;
    int64_t offset;  // of before + written in the file
    uint32_t length;  // of each image
  };
  std::vector<Stored> entries_;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_;
  int64_t end_ = 0;
  std::map<int, size_t> marks_;
};

}  // namespace tessera_sql
