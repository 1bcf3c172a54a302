// The alias file "tessera.cfg" and its reader: sections, comments, blanks,
// the upper-cased list with "Default Directory" first, and a dataset whose
// DatabaseName is an alias.
#include <fstream>

#include "dataset/alias_list.h"
#include "dataset/ini_file.h"
#include "dataset_test_util.h"

namespace dataset_test {
namespace {

TEST(IniFileTest, ReadsOneSectionOfNameValueLines) {
  const std::string text =
      "\xEF\xBB\xBF; comment\r\n"
      "[Other]\n"
      "X=1\n"
      "  [ alias ]  \n"
      "Data = /srv/data \r\n"
      "# another comment\n"
      "\n"
      "no equals sign\n"
      "=no name\n"
      "Logs=\n"
      "Eq=a=b\n"
      "[Next]\n"
      "Y=2\n";
  const tessera::IniEntries e = tessera::ParseIniSection(text, "Alias");
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e[0], (std::pair<std::string, std::string>{"Data", "/srv/data"}));
  EXPECT_EQ(e[1], (std::pair<std::string, std::string>{"Logs", ""}));
  EXPECT_EQ(e[2], (std::pair<std::string, std::string>{"Eq", "a=b"}));
  EXPECT_TRUE(tessera::ParseIniSection(text, "Missing").empty());
  EXPECT_TRUE(tessera::ReadIniSection("/nonexistent/tessera.cfg", "Alias").empty());
}

TEST(AliasListTest, DefaultDirectoryFirstThenTheFileUpperCased) {
  tessera::EngineScope engine;
  TempDir config, data;
  CopyFixture("callbook", data.path());
  {
    std::ofstream out(config / "tessera.cfg");
    out << "[Alias]\ncallbook=" << data.path() << "\nlogs=/var/log/x\n";
  }
  tessera::TAliasList& list = tessera::TAliasList::Instance();
  list.Load(config.path());
  ASSERT_EQ(list.Entries().size(), 3u);
  EXPECT_EQ(list.Entries()[0].first, "Default Directory");
  EXPECT_EQ(list.Entries()[1].first, "CALLBOOK");
  EXPECT_EQ(list.Entries()[1].second, plat::UpperName(data.path()));
  EXPECT_EQ(*list.Find("Logs"), "/VAR/LOG/X");
  EXPECT_FALSE(list.Find("nothing").has_value());

  // An alias stands for its folder.
  tessera::TTesseraDataSet ds;
  ds.SetDatabaseName("callbook");
  EXPECT_EQ(ds.DatabaseName(), "CALLBOOK");
  EXPECT_EQ(ds.TableDirectory(), plat::UpperName(data.path()) + "/");
  ds.SetTableName("Pyx");
  ds.IndexFiles().Add("PYX.CDX");
  ds.SetIndexName("CALL");
  ds.Open();
  ds.SeekValues({"QZ6ZZZ"});
  EXPECT_EQ(ds.RecNo(), 1001);
  ds.Close();

  // The XDG folder is the default place.
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string saved_value = saved != nullptr ? saved : "";
  ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  list.Load();
  EXPECT_TRUE(list.Find("CALLBOOK").has_value());
  if (saved != nullptr)
    ::setenv("XDG_CONFIG_HOME", saved_value.c_str(), 1);
  else
    ::unsetenv("XDG_CONFIG_HOME");
  list.Load();
}

}  // namespace
}  // namespace dataset_test
