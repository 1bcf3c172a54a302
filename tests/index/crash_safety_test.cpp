// A writer killed at any moment loses nothing it reported done and leaves
// nothing the checks cannot name. A child process appends, edits and deletes
// cards of a small callbook through its eleven-tag compound index and tells
// the parent through a pipe what it is about to do and when each write has
// returned; the parent kills it with SIGKILL at a random moment, then
// checks the files and repairs the index with the rebuild behind
// `tessera reindex`, and starts the next writer on the repaired files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "index/index_repair.h"
#include "engine/text_helpers.h"
#include "platform/codepage.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

constexpr int kRounds = 210;
constexpr int kStartCards = 40;

enum Op : int32_t { kAppend = 1, kEdit = 2, kDelete = 3 };

// One message of the child: `done` 0 before the write starts, 1 once it
// returned.
struct Message {
  int32_t done;
  int32_t op;
  int32_t record;  // the edited or deleted record (0 for an append)
  int32_t serial;  // names the write: the marker it stores
};

std::string Marker(int32_t serial) { return "W" + std::to_string(serial); }

void Send(int fd, const Message& m) {
  if (::write(fd, &m, sizeof m) != static_cast<ssize_t>(sizeof m)) ::_exit(3);
}

// The writer: runs until it is killed.
[[noreturn]] void Writer(const std::string& dbf, int fd, uint32_t seed, int32_t first_serial) {
  int status = 0;
  try {
    tessera::EngineScope engine;
    tessera::KTO_dBHandler table(dbf, true, true);
    if (table.OpenIndexFile("PYX.CDX") != 0) ::_exit(4);
    std::mt19937 rng(seed);
    pyx_sample::CardGenerator cards(seed);
    for (int32_t serial = first_serial;; ++serial) {
      const uint32_t pick = rng() % 10;
      Message m{0, pick < 5 ? kAppend : pick < 9 ? kEdit : kDelete, 0, serial};
      const auto card = cards.Make(serial, 1000000);
      if (m.op == kAppend) {
        Send(fd, m);
        table.BlankRecord();
        for (int f = 0; f < pyx_sample::kFieldCount; ++f)
          table.PutTextN(f + 1, plat::Utf8ToOem(card[static_cast<size_t>(f)]));
        table.PutText("PRIM_", Marker(serial));
        table.AppendRecord();
      } else {
        table.RefreshHeader();
        m.record = static_cast<int32_t>(1 + rng() % static_cast<uint32_t>(table.RecordCount()));
        Send(fd, m);
        table.GotoRecord(m.record);
        if (m.op == kEdit) {
          table.PutText("CALL_", plat::Utf8ToOem(card[0]));
          table.PutText("URL_", Marker(serial));
        } else {
          table.RecordBuffer()[0] = '*';
        }
        table.WriteRecord(m.record);
      }
      m.done = 1;
      Send(fd, m);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "writer: %s\n", e.what());
    status = 5;
  }
  ::_exit(status);
}

// What the parent knows of the table: every acknowledged write.
struct Model {
  std::map<std::string, bool> appended;  // marker -> seen
  std::map<int32_t, std::string> url;    // record -> marker of its last edit
  std::map<int32_t, bool> deleted;
};

uint32_t Le(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = n; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

TEST(CrashSafety, KilledWritersLoseNoAcknowledgedWriteAndReindexRepairs) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  pyx_sample::WriteSampleTable(dir.path(), kStartCards, 5, true);
  const std::string dbf = dir / "Pyx.DBF";
  {
    tessera::KTO_dBHandler t(dbf, false, true);
    for (const auto& tag : pyx_sample::kCallbookTags)
      t.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  }
  Model model;
  std::mt19937 rng(20261209);
  int32_t serial = 1;
  // How far the header's count lagged after the last round: a writer that
  // only edits before it is killed leaves that lag as it found it, and one
  // killed again between its record and its header adds its own append to
  // it (the engine counts from the file size, so the lag does no harm).
  int64_t lag_carried = 0;
  // Likewise a record cut short: its bytes stay past the last whole record
  // until an append overwrites them, through rounds that only edit.
  bool tail_carried = false;
  int kills = 0, lagging = 0, cut_short = 0, clean = 0, marked = 0, counted = 0, damaged = 0, acknowledged = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < kRounds; ++round) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(fds[0]);
      Writer(dbf, fds[1], 7000u + static_cast<uint32_t>(round), serial);
    }
    ::close(fds[1]);
    // Killed after its first write at the earliest (some writes are
    // needed to learn anything), then at a random moment up to 4 ms on.
    Message m{};
    ASSERT_EQ(::read(fds[0], &m, sizeof m), static_cast<ssize_t>(sizeof m)) << "the writer did not start";
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself, status " << status;
    ++kills;
    // Every message: the last one without its "done" is the write in
    // flight, whose effect may or may not be there.
    std::vector<Message> messages{m};
    while (::read(fds[0], &m, sizeof m) == static_cast<ssize_t>(sizeof m)) messages.push_back(m);
    ::close(fds[0]);
    Message in_flight{};
    for (const Message& msg : messages) {
      serial = std::max(serial, msg.serial + 1);
      if (msg.done == 0) {
        in_flight = msg;
        continue;
      }
      in_flight = Message{};
      ++acknowledged;
      if (msg.op == kAppend) model.appended[Marker(msg.serial)] = false;
      if (msg.op == kEdit) model.url[msg.record] = Marker(msg.serial);
      if (msg.op == kDelete) model.deleted[msg.record] = true;
    }

    // The table opens and its header's record count is the file's.
    {
      std::ifstream in(dbf, std::ios::binary);
      uint8_t h[12];
      in.read(reinterpret_cast<char*>(h), 12);
      in.seekg(0, std::ios::end);
      const int64_t size = in.tellg();
      const int64_t header = Le(h + 8, 2), length = Le(h + 10, 2);
      // The engine counts the records from the file size; the header's
      // count lags by the append in flight when the writer died between
      // the record and the header, on top of any lag it found.
      const int64_t in_file = (size - header) / length, in_header = Le(h + 4, 4);
      const int64_t lag = in_file - in_header;
      ASSERT_GE(lag, 0) << "the header counts records the file does not hold, round " << round;
      ASSERT_LE(lag, lag_carried + (in_flight.op == kAppend ? 1 : 0)) << "round " << round;
      if (lag > 0) ++lagging;
      lag_carried = lag;
      // A write the kernel was part-way through when the kill came stops
      // at a page boundary, so the append in flight may leave the start of
      // its record: bytes past the last whole record, which the engine
      // does not count and the next append overwrites.
      const int64_t tail = size - header - in_file * length;
      if (tail > 1) {
        ASSERT_TRUE(in_flight.op == kAppend || tail_carried) << "a record cut short, round " << round;
        ++cut_short;
      }
      tail_carried = tail > 1;
    }
    tessera::KTO_dBHandler table(dbf, true, false);
    for (auto& [marker, seen] : model.appended) seen = false;
    for (int32_t r = 1; r <= table.RecordCount(); ++r) {
      table.GotoRecord(r);
      if (auto it = model.appended.find(tessera::TrimRightText(table.GetText("PRIM_")));
          it != model.appended.end())
        it->second = true;
      const std::string url = tessera::TrimRightText(table.GetText("URL_"));
      const bool flying = in_flight.serial != 0 && in_flight.record == r;
      const bool landed = flying && in_flight.op == kEdit && url == Marker(in_flight.serial);
      if (auto it = model.url.find(r); it != model.url.end() && !landed) {
        ASSERT_EQ(url, it->second) << "record " << r << ", round " << round;
      }
      if (model.deleted.count(r) != 0) {
        ASSERT_TRUE(table.IsDeleted()) << "record " << r << ", round " << round;
      }
      // The write in flight may have landed: from now on it is known.
      if (flying && in_flight.op == kEdit && url == Marker(in_flight.serial)) model.url[r] = url;
      if (flying && in_flight.op == kDelete && table.IsDeleted()) model.deleted[r] = true;
    }
    for (const auto& [marker, seen] : model.appended) ASSERT_TRUE(seen) << marker << " lost, round " << round;
    if (in_flight.op == kAppend) {
      // Present or not, it is either now.
      table.GotoRecord(table.RecordCount());
      if (tessera::TrimRightText(table.GetText("PRIM_")) == Marker(in_flight.serial))
        model.appended[Marker(in_flight.serial)] = true;
    }

    // Every fault is one the checks name: the quick check's findings are
    // also the full check's, or the write-in-progress mark.
    std::vector<std::string> quick, full;
    bool mark = false;
    {
      tessera::KTobjCDXFile index(&table, dir / "PYX.CDX", false, false, true, false);
      ASSERT_TRUE(index.Opened()) << "round " << round;
      quick = tessera::QuickCheckIndexFile(table, index);
      full = tessera::CheckCdxFile(index);
      mark = index.NeedsRebuild();
    }
    if (!quick.empty()) {
      ASSERT_TRUE(mark || !full.empty()) << quick.front();
    }
    if (mark) ++marked;
    else if (!full.empty()) ++damaged;
    else ++clean;
    if (!mark && !quick.empty()) ++counted;

    // The rebuild repairs whatever was found, keeping the eleven tags.
    ASSERT_EQ(tessera::ReindexIndexFile(table, dir / "PYX.CDX"), std::size(pyx_sample::kCallbookTags));
    tessera::KTobjCDXFile index(&table, dir / "PYX.CDX", false, false, true, false);
    ASSERT_TRUE(index.Opened());
    EXPECT_FALSE(index.NeedsRebuild());
    const auto after = tessera::CheckCdxFile(index);
    if (!after.empty()) FAIL() << after.front() << ", round " << round;
    ASSERT_TRUE(tessera::QuickCheckIndexFile(table, index).empty());
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d kills, %d acknowledged writes, %zu records; after the kill: %d clean, %d with the write mark, "
              "%d damaged without it (%d found by key counts); %d header counts one behind; %d appends cut short; all repaired; "
              "%.1f s\n",
              kills, acknowledged, model.appended.size() + kStartCards, clean, marked, damaged, counted, lagging, cut_short,
              seconds);
  EXPECT_GE(kills, 200);
}

}  // namespace
