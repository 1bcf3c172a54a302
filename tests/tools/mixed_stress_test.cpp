// Everything that writes the callbook, at once: two processes through the
// dataset (as two callbook windows do), a tessera loop that appends with
// --index, one that changes cards through the production index it opens by
// itself, and a tessera reindex in the middle (rebuilt in place, or refused
// while a writer is in the file). Each writer notes a write in its log once
// it is done; the dataset processes search for every appended card noted
// before the search and must find it. Afterwards the index is sound and
// the table holds exactly the writes that were noted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "dataset/tessera_data_set.h"
#include "dbkit/data_source.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "engine/text_helpers.h"
#include "index/cdx_check.h"
#include "index/cdx_file.h"
#include "support/run_command.h"
#include "support/temp_dir.h"
#include "tools/pyx_sample/sample_cards.h"

namespace {

constexpr int kStartCards = 400;
constexpr int kDataSetOps = 200;
constexpr int kToolOps = 60;

std::string Tessera(const std::string& args) { return std::string(TESSERA_BIN) + " " + args; }

// Logs 0 and 1: the dataset processes; 2: tessera append; 3: tessera set.
// Lines "A recno call", "E recno call", and "X" at the end.
std::string LogName(const std::string& dir, int n) { return dir + "/log" + std::to_string(n); }

struct Entry {
  char op = 0;
  int32_t recno = 0;
  std::string call;
};

std::vector<Entry> ReadLog(const std::string& path) {
  std::ifstream in(path);
  std::vector<Entry> out;
  std::string line;
  while (std::getline(in, line) && !in.eof()) {
    std::istringstream fields(line);
    Entry e;
    fields >> e.op >> e.recno >> e.call;
    out.push_back(e);
  }
  return out;
}

void Note(const std::string& path, const std::string& line) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const std::string text = line + "\n";
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
  ::close(fd);
}

// Cards of the start belong to one writer each (by record number modulo
// 4): their changes follow each other in that writer's log.
int32_t OwnCard(std::mt19937& rng, int owner) { return 1 + owner + 4 * static_cast<int32_t>(rng() % (kStartCards / 4)); }

// A callbook window: the dataset as the callbook sets it up.
int DataSetWriter(const std::string& dir, int q) {
  tessera::EngineScope engine;
  tessera::TTesseraDataSet ds;
  dbkit::DataSource source;
  source.SetDataSet(&ds);
  ds.SetDatabaseName(dir);
  ds.SetTableName("Pyx.DBF");
  ds.SetExclusive(false);
  ds.SetLockProtocol(tessera::kDefaultLock);
  ds.SetTranslateASCII(true);
  ds.IndexFiles().Add("PYX.CDX");
  ds.SetIndexName("CALL");
  ds.Open();
  std::mt19937 rng(7000 + q);
  const std::string log = LogName(dir, q);
  std::vector<Entry> noted;  // appended cards seen in any log
  size_t seen[4] = {};
  int faults = 0;
  for (int i = 0; i < kDataSetOps; ++i) {
    if (rng() % 2 == 0) {
      const std::string call = "D" + std::to_string(q) + "A" + std::to_string(i);
      ds.Append();
      ds.FieldByName("CALL_")->SetAsString(call);
      ds.FieldByName("TEL_")->SetAsString(std::to_string(i));
      ds.Post();
      Note(log, "A " + std::to_string(ds.RecNo()) + " " + call);
    } else {
      const int32_t r = OwnCard(rng, q);
      const std::string call = "D" + std::to_string(q) + "E" + std::to_string(i);
      ds.SetRecNo(r);
      ds.Edit();
      ds.FieldByName("CALL_")->SetAsString(call);
      ds.FieldByName("GOR_")->SetAsString("G" + std::to_string(i));
      ds.Post();
      Note(log, "E " + std::to_string(r) + " " + call);
    }
    // Every card appended by anyone and noted by now is found.
    for (int n = 0; n < 4; ++n) {
      const auto entries = ReadLog(LogName(dir, n));
      for (size_t k = seen[n]; k < entries.size(); ++k)
        if (entries[k].op == 'A') noted.push_back(entries[k]);
      seen[n] = entries.size();
    }
    for (int k = 0; k < 3 && !noted.empty(); ++k) {
      const Entry& e = k == 0 ? noted.back() : noted[rng() % noted.size()];
      // As the callbook's search: the card with that callsign, or the next.
      ds.SeekValues({dbkit::Value(e.call)});
      if (ds.RecNo() != e.recno || ds.FieldByName("CALL_")->AsString() != e.call) {
        std::fprintf(stderr, "window %d: %s (record %d) not found; at %d %s\n", q, e.call.c_str(), e.recno,
                     ds.RecNo(), ds.FieldByName("CALL_")->AsString().c_str());
        ++faults;
      }
    }
  }
  ds.Close();
  source.SetDataSet(nullptr);
  Note(log, "X 0 -");
  return faults == 0 ? 0 : 1;
}

TEST(SharedStress, DataSetsToolsAndARebuildOnTheCallbook) {
  tessera::EngineScope engine;
  testing_support::TempDir dir;
  ASSERT_EQ(testing_support::RunCommand(std::string(PYX_SAMPLE_BIN) + " --cards " + std::to_string(kStartCards) + " " +
                                        dir.path())
                .status,
            0);
  const std::string table = dir / "Pyx.DBF";
  {
    tessera::KTO_dBHandler t(table, false, true);
    for (const auto& tag : pyx_sample::kCallbookTags)
      t.CreateIndexTag("PYX.CDX", tag.name, tag.expression, "", tessera::kDuplicateKeys, 0);
  }
  // The tool's loops: appends with --index, changes of the cards numbered
  // 3 modulo 4 through the production index alone, a rebuild half-way.
  std::mt19937 rng(99);
  std::string appends, sets;
  const std::string q_table = "'" + table + "'";
  for (int i = 0; i < kToolOps; ++i) {
    const std::string call = "T0A" + std::to_string(i);
    appends += "r=$(" + Tessera("append " + q_table + " CALL_=" + call + " --index '" + (dir / "PYX.CDX") + "'") +
               ") && echo \"A $r " + call + "\" >> '" + LogName(dir.path(), 2) + "' || echo FAIL append " + call + "\n";
    if (i == kToolOps / 2)
      appends += Tessera("reindex " + q_table + " '" + (dir / "PYX.CDX") + "' --wait 3000") +
                 " > '" + (dir / "reindex.out") + "' 2>&1\n";
    const int32_t r = OwnCard(rng, 2);
    const std::string changed = "T1E" + std::to_string(i);
    sets += Tessera("set " + q_table + " " + std::to_string(r) + " CALL_=" + changed) + " && echo \"E " +
            std::to_string(r) + " " + changed + "\" >> '" + LogName(dir.path(), 3) + "' || echo FAIL set " + changed +
            "\n";
  }
  appends += "echo 'X 0 -' >> '" + LogName(dir.path(), 2) + "'\n";
  sets += "echo 'X 0 -' >> '" + LogName(dir.path(), 3) + "'\n";
  std::ofstream(dir / "appends.sh") << appends;
  std::ofstream(dir / "sets.sh") << sets;

  std::vector<pid_t> children;
  for (int q = 0; q < 2; ++q) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int status = 3;
      try {
        status = DataSetWriter(dir.path(), q);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "window %d: %s\n", q, e.what());
      }
      ::_exit(status);
    }
    children.push_back(pid);
  }
  const auto tools = testing_support::RunCommand("sh '" + (dir / "appends.sh") + "' 2>&1 & sh '" + (dir / "sets.sh") +
                                                 "' 2>&1; wait");
  EXPECT_EQ(tools.out, "");
  for (size_t i = 0; i < children.size(); ++i) {
    int status = 0;
    ::waitpid(children[i], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "window " << i << " status " << status;
  }
  // The rebuild ran, or was refused with words while a writer held the file.
  std::ifstream in(dir / "reindex.out");
  const std::string reindex((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(reindex == "11 tags rebuilt\n" || reindex == dir / "PYX.CDX" + " is in use by another program\n")
      << reindex;

  std::map<int32_t, std::string> calls;
  int32_t appended = 0;
  for (int n = 0; n < 4; ++n)
    for (const Entry& e : ReadLog(LogName(dir.path(), n))) {
      if (e.op == 'A') ++appended;
      if (e.op == 'A' || e.op == 'E') calls[e.recno] = e.call;
    }
  tessera::KTO_dBHandler t(table, true, false);
  ASSERT_EQ(t.RecordCount(), kStartCards + appended);
  for (const auto& [recno, call] : calls) {
    t.GotoRecord(recno);
    EXPECT_EQ(tessera::TrimRightText(t.GetText("CALL_")), call) << recno;
  }
  tessera::KTobjCDXFile file(&t, dir / "PYX.CDX", false, false, true, false);
  for (const auto& f : tessera::CheckCdxFile(file)) ADD_FAILURE() << f;
}

}  // namespace
