// Four processes on one callbook, for every kind of index: two writers
// append cards, change callsigns and delete and recall cards, two readers
// search all the while. A writer notes each write in its log once the write
// is done; a reader reads the logs before it searches, and every card whose
// append was noted by then must be found, at its record. Afterwards the
// index is sound and the table holds exactly the writes that were noted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/text_helpers.h"
#include "shared_index_util.h"
#include "support/temp_dir.h"

namespace {

using shared_index::Kind;
using tessera::KTO_dBHandler;

constexpr int kWriters = 2;
constexpr int kReaders = 2;
constexpr int kOperations = 400;
constexpr int kStartCards = 200;

std::string LogName(const std::string& dir, int writer) { return dir + "/log" + std::to_string(writer); }

// One write as a writer notes it: "A recno call" (appended), "E recno call"
// (callsign changed), "D recno 0|1" (deletion mark), "X 0 0" (done).
struct Entry {
  char op = 0;
  int32_t recno = 0;
  std::string value;
};

std::vector<Entry> ReadLog(const std::string& path) {
  std::ifstream in(path);
  std::vector<Entry> out;
  std::string line;
  // Only whole lines: a writer may be half-way through its next one.
  while (std::getline(in, line) && !in.eof()) {
    std::istringstream fields(line);
    Entry e;
    fields >> e.op >> e.recno >> e.value;
    out.push_back(e);
  }
  return out;
}

class Log {
 public:
  explicit Log(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644)) {}
  ~Log() { ::close(fd_); }
  void Note(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
  }

 private:
  int fd_;
};

std::unique_ptr<KTO_dBHandler> OpenCallbook(const std::string& dir, Kind kind, bool writable) {
  auto t = std::make_unique<KTO_dBHandler>(dir + "/Pyx.DBF", true, writable);
  t->OpenIndexFile(shared_index::IndexName(kind));
  t->SelectMasterTag("CALL", false);
  return t;
}

int Writer(const std::string& dir, Kind kind, int p) {
  tessera::EngineScope engine;
  auto table = OpenCallbook(dir, kind, true);
  Log log(LogName(dir, p));
  std::mt19937 rng(4000 + p);
  pyx_sample::CardGenerator cards(300 + p);
  for (int i = 0; i < kOperations; ++i) {
    const uint32_t what = rng() % 10;
    if (what < 5) {
      const std::string call = "P" + std::to_string(p) + "A" + std::to_string(i);
      const int32_t r = shared_index::AppendCard(*table, call, 300 + p * 1000 + i);
      log.Note("A " + std::to_string(r) + " " + call);
      continue;
    }
    // Cards of the start belong to one writer each: their changes follow
    // each other in that writer's log.
    const int32_t r = 1 + p + kWriters * static_cast<int32_t>(rng() % (kStartCards / kWriters));
    table->GotoRecord(r);
    if (!table->LockRecord()) return 2;  // nobody else locks this writer's cards
    table->GotoRecord(r);
    if (what < 8) {
      const std::string call = "P" + std::to_string(p) + "E" + std::to_string(i);
      const auto card = cards.Make(i, kOperations);
      table->PutText("CALL_", call);
      table->PutText("FAM_", plat::Utf8ToOem(card[1]));
      table->WriteRecord(r);
      log.Note("E " + std::to_string(r) + " " + call);
    } else if (table->IsDeleted()) {
      table->MarkRecalled();
      log.Note("D " + std::to_string(r) + " 0");
    } else {
      table->MarkDeleted();
      log.Note("D " + std::to_string(r) + " 1");
    }
    table->UnlockTable();
  }
  log.Note("X 0 0");
  return 0;
}

int Reader(const std::string& dir, Kind kind, int q) {
  tessera::EngineScope engine;
  auto table = OpenCallbook(dir, kind, false);
  table->SetUseDeleted(true);
  std::mt19937 rng(5000 + q);
  std::vector<Entry> verified;
  size_t seen[kWriters] = {};
  int faults = 0;
  for (bool last_pass = false;;) {
    // What was noted before this look: all of it must be found.
    int ended = 0;
    std::vector<Entry> fresh;
    for (int p = 0; p < kWriters; ++p) {
      const auto log = ReadLog(LogName(dir, p));
      for (size_t i = seen[p]; i < log.size(); ++i)
        if (log[i].op == 'A') fresh.push_back(log[i]);
      seen[p] = log.size();
      if (!log.empty() && log.back().op == 'X') ++ended;
    }
    auto check = [&](const Entry& e) {
      if (!shared_index::Finds(*table, e.value, e.recno)) {
        std::fprintf(stderr, "reader %d: %s (record %d) not found\n", q, e.value.c_str(), e.recno);
        ++faults;
      }
    };
    for (const Entry& e : fresh) check(e);
    verified.insert(verified.end(), fresh.begin(), fresh.end());
    // Earlier ones stay found while others write.
    for (int k = 0; k < 4 && !verified.empty(); ++k) check(verified[rng() % verified.size()]);
    // A few steps in tag order from a random card.
    if (!verified.empty()) {
      shared_index::Finds(*table, verified[rng() % verified.size()].value, 0);
      table->Skip(5);
    }
    if (last_pass || faults > 20) break;
    last_pass = ended >= kWriters;
  }
  return faults == 0 ? 0 : 1;
}

class SharedStress : public ::testing::TestWithParam<Kind> {};

TEST_P(SharedStress, WritersAndReadersOfEveryKindOfIndex) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  shared_index::MakeCallbook(dir.path(), GetParam(), kStartCards);
  std::vector<pid_t> children;
  for (int p = 0; p < kWriters + kReaders; ++p) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int status = 3;
      try {
        status = p < kWriters ? Writer(dir.path(), GetParam(), p) : Reader(dir.path(), GetParam(), p - kWriters);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "process %d: %s\n", p, e.what());
      }
      ::_exit(status);
    }
    children.push_back(pid);
  }
  for (size_t i = 0; i < children.size(); ++i) {
    int status = 0;
    ::waitpid(children[i], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "process " << i << " status " << status;
  }

  // The table holds exactly what the logs say was written.
  std::map<int32_t, std::string> calls;  // by record: the last callsign noted
  std::map<int32_t, bool> deleted;
  int32_t appends = 0;
  for (int p = 0; p < kWriters; ++p)
    for (const Entry& e : ReadLog(LogName(dir.path(), p))) {
      if (e.op == 'X') continue;
      if (e.op == 'A') ++appends;
      if (e.op == 'A' || e.op == 'E') calls[e.recno] = e.value;
      if (e.op == 'D') deleted[e.recno] = e.value == "1";
    }
  KTO_dBHandler table(dir / "Pyx.DBF", true, false);
  ASSERT_EQ(table.RecordCount(), kStartCards + appends);
  for (const auto& [recno, call] : calls) {
    table.GotoRecord(recno);
    EXPECT_EQ(tessera::TrimRightText(table.GetText("CALL_")), call) << recno;
  }
  for (const auto& [recno, mark] : deleted) {
    table.GotoRecord(recno);
    EXPECT_EQ(table.IsDeleted(), mark) << recno;
  }
  for (const auto& f : shared_index::CheckIndex(dir / "Pyx.DBF", GetParam())) ADD_FAILURE() << f;
}

INSTANTIATE_TEST_SUITE_P(Kinds, SharedStress, ::testing::Values(Kind::kCdx, Kind::kMdx, Kind::kNdx, Kind::kNtx),
                         [](const auto& info) { return std::string(shared_index::KindName(info.param)); });

}  // namespace
