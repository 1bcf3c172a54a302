#include "tools/sqlite/undo_log.h"

#include <sys/types.h>

#include <stdexcept>

namespace tessera_sql {

UndoLog::UndoLog() : file_(nullptr, &std::fclose) {}

UndoLog::~UndoLog() = default;

void UndoLog::Appended(int32_t recno) { entries_.push_back({recno, true, 0, 0}); }

void UndoLog::Changed(int32_t recno, const std::string& before, const std::string& written) {
  if (!file_) {
    file_.reset(std::tmpfile());
    if (!file_) throw std::runtime_error("Cannot create the temporary file that keeps a transaction's changes");
    end_ = 0;
  }
  if (before.size() != written.size()) throw std::logic_error("record images of different lengths");
  if (::fseeko(file_.get(), static_cast<off_t>(end_), SEEK_SET) != 0 ||
      std::fwrite(before.data(), 1, before.size(), file_.get()) != before.size() ||
      std::fwrite(written.data(), 1, written.size(), file_.get()) != written.size())
    throw std::runtime_error("Cannot write the temporary file that keeps a transaction's changes");
  entries_.push_back({recno, false, end_, static_cast<uint32_t>(before.size())});
  end_ += static_cast<int64_t>(before.size() * 2);
}

std::vector<UndoLog::Entry> UndoLog::TakeFrom(size_t from) {
  std::vector<Entry> out;
  if (from >= entries_.size()) return out;
  if (file_) std::fflush(file_.get());
  for (size_t i = entries_.size(); i-- > from;) {
    const Stored& s = entries_[i];
    Entry e;
    e.recno = s.recno;
    e.appended = s.appended;
    if (!s.appended) {
      std::string both(static_cast<size_t>(s.length) * 2, '\0');
      if (::fseeko(file_.get(), static_cast<off_t>(s.offset), SEEK_SET) != 0 ||
          std::fread(both.data(), 1, both.size(), file_.get()) != both.size())
        throw std::runtime_error("Cannot read the temporary file that keeps a transaction's changes");
      e.before = both.substr(0, s.length);
      e.written = both.substr(s.length);
    }
    out.push_back(std::move(e));
  }
  entries_.resize(from);
  // Later images go where the ones taken lay.
  end_ = 0;
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
    if (!it->appended) {
      end_ = it->offset + static_cast<int64_t>(it->length) * 2;
      break;
    }
  return out;
}

void UndoLog::Clear() {
  entries_.clear();
  marks_.clear();
  end_ = 0;
  // A long transaction's file is given back to the system.
  file_.reset();
}

size_t UndoLog::MarkOf(int level) const {
  auto it = marks_.find(level);
  return it == marks_.end() ? entries_.size() : it->second;
}

void UndoLog::DropMarks(int level) { marks_.erase(marks_.lower_bound(level), marks_.end()); }

}  // namespace tessera_sql
