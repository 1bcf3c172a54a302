// The callbook controller over a real dataset on a copy of the fixture
// callbook (3000 cards, record 1001 is QZ6ZZZ), with a recording view in
// place of the window.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <fstream>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/callbook_controller.h"
#include "app/callbook_tables.h"
#include "dataset/tessera_data_set.h"
#include "dbkit/field.h"
#include "engine/dbf_handler.h"
#include "engine/engine.h"
#include "index/cdx_file.h"
#include "index/index_repair.h"
#include "platform/codepage.h"
#include "controller_fixture.h"
#include "recording_view.h"
#include "support/temp_dir.h"

namespace {

using pyx_test::ControllerTest;
using pyx_test::IndexOf;
using pyx::CallbookController;
using pyx_test::RecordingView;
using Calls = std::vector<std::string>;
namespace fs = std::filesystem;

TEST_F(ControllerTest, StartWithoutIndexBuildsTheElevenTagsWithTheGauge) {
  Start();
  const Calls& c = view_->calls;
  EXPECT_EQ(view_->GaugeValues(), (std::vector<int>{1, 9, 18, 27, 36, 45, 54, 63, 72, 81, 90, 100}));
  // Wait panel and gauge come up first and are painted at once; the gauge
  // goes before the wait panel does.
  ASSERT_GE(c.size(), 4u);
  EXPECT_EQ(c[0], "Show Gauge");
  EXPECT_EQ(c[1], "Show Wait");
  EXPECT_EQ(c[2], "RepaintWait");
  EXPECT_GE(view_->processed, 1);
  EXPECT_LT(IndexOf(c, "Gauge 100"), IndexOf(c, "Hide Gauge"));
  EXPECT_LT(IndexOf(c, "Hide Gauge"), IndexOf(c, "Hide Wait"));
  EXPECT_EQ(c.back(), "Menu ViewStandart 'off'");

  ASSERT_TRUE(fs::exists(dir_ / "PYX.CDX"));
  ASSERT_EQ(Table().TagCount(), 11);
  std::map<std::string, std::string> built, expected;
  for (int i = 1; i <= 11; ++i) built[Table().TagName(i)] = Table().TagExpression(i);
  for (const pyx::CallbookTag& t : pyx::kCallbookTags) expected[std::string(t.name)] = std::string(t.expression);
  EXPECT_EQ(built, expected);
  EXPECT_EQ(Table().IndexName(), "CALL");
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
  EXPECT_EQ(Table().RecNo(), 1001);
}

TEST_F(ControllerTest, TheWindowRepaintsDuringTheBuildAndTheTableIsBusy) {
  controller_ = std::make_unique<CallbookController>();
  view_ = std::make_unique<RecordingView>(*controller_);
  controller_->SetRepaintInterval(std::chrono::milliseconds(0));
  std::vector<std::string> refused;
  int during_build = 0;
  view_->on_process = [&] {
    if (Table().BusyState() != tessera::kBusyIndexing) return;
    ++during_build;
    // An operation that reaches the dataset meanwhile is refused.
    try {
      Table().SetIndexName("CALL");
    } catch (const std::exception& e) {
      refused.push_back(e.what());
    }
  };
  controller_->FormActivate();
  // 3000 records and keys per tag, a repaint every 512 reports.
  EXPECT_GE(during_build, 11 * 2 * 3000 / 512 - 11);
  ASSERT_FALSE(refused.empty());
  EXPECT_EQ(refused.front(), "Table is busy building an index");
  EXPECT_EQ(std::count(refused.begin(), refused.end(), refused.front()), static_cast<long>(refused.size()));
  EXPECT_EQ(Table().TagCount(), 11);
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
}

TEST_F(ControllerTest, StartWithIndexShowsQZ6ZZZOnceAndOnlyOnce) {
  WithIndex();
  Start();
  EXPECT_EQ(view_->Take(), (Calls{"Hide Wait", "Menu ViewStandart 'off'"}));
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
  EXPECT_EQ(Card("FAM_").empty(), false);
  // Later activations (a dialog closing, say) do nothing.
  Table().First();
  controller_->FormActivate();
  EXPECT_TRUE(view_->calls.empty());
  EXPECT_NE(Card("CALL_"), "QZ6ZZZ");
}

// An index that fails the quick check at start-up is rebuilt as the menu's
// rebuild does, and the status line says why.
TEST_F(ControllerTest, StartRebuildsAnIndexThatFailsTheQuickCheck) {
  struct Case {
    const char* what;
    std::function<void()> damage;
    const char* status;
  };
  const std::vector<Case> cases = {
      {"write mark",
       [] {
         std::fstream f("PYX.CDX", std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(16);
         f.write("TSRWRITE", 8);
       },
       "Запись в индекс PYX.CDX не была завершена, индекс перестроен"},
      {"a card the tags miss",
       [] {
         // A card appended past the index (another program, no index).
         tessera::KTO_dBHandler t("Pyx.DBF", false, true);
         t.BlankRecord();
         t.PutText("CALL_", "QZ1AAA");
         t.AppendRecord();
       },
       "Индекс PYX.CDX не соответствует таблице и перестроен"},
      {"tag directory damaged",
       [] {
         std::fstream f("PYX.CDX", std::ios::in | std::ios::out | std::ios::binary);
         f.write("\xff\xff\xff\x7f", 4);
       },
       "Индекс PYX.CDX не соответствует таблице и перестроен"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    view_.reset();
    controller_.reset();
    fs::remove(dir_ / "PYX.CDX");
    WithIndex();
    c.damage();
    Start();
    EXPECT_EQ(view_->GaugeValues(), (std::vector<int>{1, 9, 18, 27, 36, 45, 54, 63, 72, 81, 90, 100}));
    const Calls& calls = view_->calls;
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "Show Gauge");
    EXPECT_EQ(calls[1], "Show Wait");
    EXPECT_LT(IndexOf(calls, "Hide Wait"), IndexOf(calls, std::string("Text StatusLine '") + c.status + "'"));
    EXPECT_EQ(calls.back(), "Menu ViewStandart 'off'");
    EXPECT_EQ(Table().TagCount(), 11);
    EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
    tessera::KTO_dBHandler t("Pyx.DBF", true, false);
    tessera::KTobjCDXFile index(&t, "PYX.CDX", false, false, true, false);
    EXPECT_TRUE(tessera::QuickCheckIndexFile(t, index).empty());
  }
  // A sound index is left alone: no gauge, no status.
  view_.reset();
  controller_.reset();
  Start();
  EXPECT_EQ(view_->Take(), (Calls{"Hide Wait", "Menu ViewStandart 'off'"}));
}

TEST_F(ControllerTest, MissingTableSaysWhereAndWhatToDoThenClosesTheWindow) {
  fs::remove(dir_ / "Pyx.DBF");
  Start();
  EXPECT_EQ(view_->calls, (Calls{"Ask [Выбрать папку…] [Закрыть]", "Close"}));
  ASSERT_EQ(view_->asked.size(), 1u);
  // The folder by its real path, spelled as it is, and the way out.
  EXPECT_NE(view_->asked[0].find("В папке " + fs::current_path().string() + " нет справочника Pyx.DBF"),
            std::string::npos)
      << view_->asked[0];
  EXPECT_NE(view_->asked[0].find("pyx-sample " + fs::current_path().string()), std::string::npos);
  EXPECT_FALSE(Table().Active());
  EXPECT_FALSE(fs::exists(dir_ / "PYX.CDX"));
  EXPECT_TRUE(controller_->Started());
}

TEST_F(ControllerTest, MissingTableLetsTheUserChooseItsFolder) {
  testing_support::TempDir other;
  fs::rename(dir_ / "Pyx.DBF", other / "Pyx.DBF");
  controller_ = std::make_unique<CallbookController>();
  view_ = std::make_unique<RecordingView>(*controller_);
  // A folder without the table: asked again, then closed.
  view_->answers = {0};
  view_->folder = dir_.path();
  controller_->FormActivate();
  EXPECT_EQ(view_->asked.size(), 2u);
  EXPECT_EQ(view_->calls.back(), "Close");
  // The folder that holds it: the callbook starts there.
  view_.reset();
  controller_.reset();
  controller_ = std::make_unique<CallbookController>();
  view_ = std::make_unique<RecordingView>(*controller_);
  view_->answers = {0};
  view_->folder = other.path();
  controller_->FormActivate();
  EXPECT_EQ(fs::current_path(), fs::path(other.path()));
  EXPECT_TRUE(fs::exists(other / "PYX.CDX"));
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
  EXPECT_EQ(IndexOf(view_->calls, "Close"), -1);
  fs::current_path(dir_.path());
}

TEST_F(ControllerTest, ReindexReplacesTheIndexFileAndShowsQZ6ZZZInCallsignOrder) {
  WithIndex();
  Start();
  // The old file stays reachable under a second name, so its inode cannot
  // be reused for the new one.
  ASSERT_EQ(::link("PYX.CDX", "old.cdx"), 0);
  struct stat before {};
  ASSERT_EQ(::stat("old.cdx", &before), 0);
  Table().SetIndexName("FIO");
  Table().First();
  view_->Take();
  controller_->MenuRedReindClick();
  struct stat after {};
  ASSERT_EQ(::stat("PYX.CDX", &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino) << "the old file was not deleted";
  EXPECT_EQ(view_->GaugeValues(), (std::vector<int>{1, 9, 18, 27, 36, 45, 54, 63, 72, 81, 90, 100}));
  const Calls& c = view_->calls;
  EXPECT_LT(IndexOf(c, "Hide Wait"), IndexOf(c, "Hide Gauge"));
  for (const std::string& call : c) EXPECT_NE(call.rfind("Menu ", 0), 0u) << call;
  EXPECT_EQ(Table().TagCount(), 11);
  EXPECT_EQ(Table().IndexName(), "CALL");
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
}

TEST_F(ControllerTest, ReindexIsRefusedWhileAnotherProgramHasTheIndexOpen) {
  WithIndex();
  int to_parent[2], to_child[2];
  ASSERT_EQ(::pipe(to_parent), 0);
  ASSERT_EQ(::pipe(to_child), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    int status = 0;
    try {
      tessera::TTesseraDataSet other;
      other.SetTableName("Pyx.DBF");
      other.IndexFiles().Add("PYX.CDX");
      other.Open();
      char c = 'o';
      if (::write(to_parent[1], &c, 1) != 1) status |= 2;
      if (::read(to_child[0], &c, 1) != 1) status |= 2;
    } catch (...) {
      status = 1;
    }
    ::_exit(status);
  }
  char c = 0;
  ASSERT_EQ(::read(to_parent[0], &c, 1), 1);
  Start();
  ASSERT_EQ(::link("PYX.CDX", "old.cdx"), 0);
  view_->Take();
  try {
    controller_->MenuRedReindClick();
    ADD_FAILURE() << "the index file of another program was replaced";
  } catch (const std::exception& e) {
    // The cause, and the file by the name it has on disk.
    EXPECT_EQ(std::string(e.what()), "File " + (fs::current_path() / "PYX.CDX").string() +
                                         " is in use by another program");
  }
  struct stat now {}, old {};
  ASSERT_EQ(::stat("PYX.CDX", &now), 0);
  ASSERT_EQ(::stat("old.cdx", &old), 0);
  EXPECT_EQ(now.st_ino, old.st_ino);
  // The callbook is back where it was.
  EXPECT_EQ(view_->State(), RecordingView::StateOf(CallbookController::Mode::kCardView));
  EXPECT_TRUE(Table().Active());
  EXPECT_EQ(Table().TagCount(), 11);
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");

  ASSERT_EQ(::write(to_child[1], "g", 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) ::close(fd);
  // With the other program gone the reindex goes through.
  controller_->MenuRedReindClick();
  ASSERT_EQ(::stat("PYX.CDX", &now), 0);
  EXPECT_NE(now.st_ino, old.st_ino);
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
}

TEST_F(ControllerTest, SearchInputModeAndSearchesInTheChosenOrder) {
  WithIndex();
  Start();
  view_->Take();
  controller_->MenuFindFIOFClick();
  EXPECT_EQ(view_->Take(), (Calls{"Text LabelFind 'Поиск по фамилии'", "Hint EditVvod 'Поиск по фамилии'",
                                  "Menu MenuRed 'off'", "Menu MenuFind 'off'", "Menu MenuView 'off'",
                                  "Show EditVvod", "Show ButtonEnter", "Back ButtonEnter",
                                  "Text EditVvod ''", "Focus EditVvod"}));
  EXPECT_EQ(Table().IndexName(), "FIO");

  // A text that begins a stored surname: the first such card in
  // surname-name-patronymic order.
  controller_->ButtonEnterClick("Орл");
  EXPECT_EQ(view_->Take(), (Calls{"Menu MenuRed 'on'", "Menu MenuFind 'on'", "Menu MenuView 'on'",
                                  "Hide EditVvod", "Hide ButtonEnter", "Text LabelFind ''"}));
  EXPECT_EQ(Table().IndexName(), "FIO");
  ASSERT_EQ(Card("FAM_").rfind("Орл", 0), 0u) << Card("FAM_");
  Table().Prior();
  if (!Table().Bof()) {
    EXPECT_NE(Card("FAM_").rfind("Орл", 0), 0u) << "an earlier card also matches";
  }

  // A text beyond every key: the last card in the order.
  controller_->MenuFindCallClick();
  controller_->ButtonEnterClick("яяяя");  // callsigns are Latin, lower case included
  EXPECT_EQ(Table().IndexName(), "CALL");
  EXPECT_TRUE(AtLast());

  // An empty text: the first card.
  controller_->MenuFindGorClick();
  controller_->ButtonEnterClick("");
  EXPECT_EQ(Table().IndexName(), "GOR");
  EXPECT_TRUE(AtFirst());
}

TEST_F(ControllerTest, EveryChoiceHasItsPromptHintAndTag) {
  WithIndex();
  Start();
  using C = CallbookController;
  const std::vector<std::pair<void (C::*)(), pyx::SearchChoice>> choices = {
      {&C::MenuFindCallClick, pyx::kFindCall},   {&C::MenuFindFIOFClick, pyx::kFindFIOF},
      {&C::MenuFindFIOIClick, pyx::kFindFIOI},   {&C::MenuFindFIOOClick, pyx::kFindFIOO},
      {&C::MenuFindIndClick, pyx::kFindInd},     {&C::MenuFindRegClick, pyx::kFindReg},
      {&C::MenuFindGorClick, pyx::kFindGor},     {&C::MenuFindTelClick, pyx::kFindTel},
      {&C::MenuFindStrClick, pyx::kFindStr},     {&C::MenuFindEmailClick, pyx::kFindEmail},
      {&C::MenuFindURLClick, pyx::kFindURL},
  };
  for (const auto& [handler, choice] : choices) {
    view_->Take();
    (controller_.get()->*handler)();
    const Calls c = view_->Take();
    ASSERT_GE(c.size(), 2u);
    EXPECT_EQ(c[0], "Text LabelFind '" + std::string(choice.prompt) + "'");
    EXPECT_EQ(c[1], "Hint EditVvod '" + std::string(choice.hint) + "'");
    EXPECT_EQ(Table().IndexName(), choice.tag);
    controller_->EditVvodKeyDown(pyx::kVkEscape);
  }
  EXPECT_EQ(std::string(pyx::kFindInd.hint), "Поиск по индексу населенного пункта");
  EXPECT_EQ(std::string(pyx::kFindEmail.hint), "Поиск по Электронному адресу в Интернете");
}

TEST_F(ControllerTest, EscapeLeavesTheSearchWithoutSearching) {
  WithIndex();
  Start();
  controller_->MenuFindGorClick();
  view_->Take();
  controller_->EditVvodKeyDown('A');  // other keys belong to the input
  controller_->EditVvodKeyDown(13);
  EXPECT_TRUE(view_->Take().empty());
  controller_->EditVvodKeyDown(pyx::kVkEscape);
  EXPECT_EQ(view_->Take(), (Calls{"Focus DBNavigator", "Menu MenuRed 'on'", "Menu MenuFind 'on'",
                                  "Menu MenuView 'on'", "Hide EditVvod", "Hide ButtonEnter",
                                  "Text LabelFind ''"}));
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
  EXPECT_EQ(Table().IndexName(), "GOR");
}

TEST_F(ControllerTest, TableViewAndBack) {
  WithIndex();
  Start();
  view_->Take();
  controller_->ViewTablicaClick();
  EXPECT_EQ(view_->Take(), (Calls{"Front DBGridPYX", "Show DBGridPYX", "Focus DBGridPYX", "Menu MenuRed 'off'",
                                  "Menu MenuFind 'off'", "Menu ViewTablica 'off'", "Menu ViewStandart 'on'"}));
  controller_->DBGridPYXKeyDown('A');
  EXPECT_TRUE(view_->Take().empty());
  const Calls back = {"Hide DBGridPYX", "Menu MenuRed 'on'", "Menu ViewTablica 'on'", "Menu MenuFind 'on'",
                      "Menu ViewStandart 'off'"};
  controller_->DBGridPYXKeyDown(pyx::kVkEscape);
  EXPECT_EQ(view_->Take(), back);
  controller_->ViewTablicaClick();
  view_->Take();
  controller_->ViewStandartClick();
  EXPECT_EQ(view_->Take(), back);
}

TEST_F(ControllerTest, ColumnTitlesChooseTheOrderExceptStreetAndRemarks) {
  WithIndex();
  Start();
  for (const pyx::TitleTag& t : pyx::kTitleTags) {
    controller_->DBGridPYXTitleClick(t.field);
    EXPECT_EQ(Table().IndexName(), t.tag);
  }
  controller_->DBGridPYXTitleClick("FAM_");
  for (const char* field : {"ULIC_", "PRIM_", "fam_", "CALL", ""}) {
    controller_->DBGridPYXTitleClick(field);
    EXPECT_EQ(Table().IndexName(), "FIO") << field;
  }
}

// The thirteen card edits in their order, each set as given.
Calls EditsSet(bool writable) {
  Calls out;
  for (std::string_view e : pyx::kCardEdits) {
    out.push_back("ReadOnly " + std::string(e) + (writable ? " 'off'" : " 'on'"));
    out.push_back("TabStop " + std::string(e) + (writable ? " 'on'" : " 'off'"));
    out.push_back("Colour " + std::string(e) + (writable ? " '80000005'" : " '8000000F'"));
  }
  return out;
}

TEST_F(ControllerTest, EditingModeOffersOnlyPostAndCancel) {
  WithIndex();
  Start();
  view_->Take();
  controller_->MenuRedEditClick();
  Calls expect = {"Press 6"};
  for (const std::string& s : EditsSet(true)) expect.push_back(s);
  for (const char* s : {"Focus DBEditCall", "Menu MenuRed 'off'", "Menu MenuFind 'off'", "Menu MenuView 'off'",
                        "Buttons 384"})
    expect.push_back(s);
  EXPECT_EQ(view_->Take(), expect);
  EXPECT_EQ(Table().State(), dbkit::DataSetState::kEdit);

  view_->PressNavigatorButton(8);
  expect = {"Press 8"};
  for (const std::string& s : EditsSet(false)) expect.push_back(s);
  for (const char* s : {"Focus DBNavigator", "Menu MenuRed 'on'", "Menu MenuFind 'on'", "Menu MenuView 'on'",
                        "Buttons 511", "Width 657"})
    expect.push_back(s);
  EXPECT_EQ(view_->Take(), expect);
  EXPECT_EQ(Table().State(), dbkit::DataSetState::kBrowse);

  // Moving buttons change nothing.
  for (int b : {0, 1, 2, 3}) view_->PressNavigatorButton(b);
  EXPECT_EQ(view_->Take(), (Calls{"Press 0", "Press 1", "Press 2", "Press 3"}));
}

TEST_F(ControllerTest, DeleteAsksAndLeavesTheModeAlone) {
  WithIndex();
  Start();
  const int recno = Table().RecNo();
  view_->Take();
  view_->confirm_delete = false;
  controller_->MenuRedDelClick();
  EXPECT_EQ(view_->Take(), (Calls{"Press 5"}));
  EXPECT_EQ(Table().RecNo(), recno);
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");

  view_->confirm_delete = true;
  controller_->MenuRedDelClick();
  EXPECT_EQ(view_->Take(), (Calls{"Press 5"}));
  EXPECT_NE(Table().RecNo(), recno);
  Table().SeekValues({dbkit::Value("QZ6ZZZ")});
  EXPECT_NE(Card("CALL_"), "QZ6ZZZ") << "the deleted card is still shown";
}

TEST_F(ControllerTest, CardLockedByAnotherProcessStaysReadOnly) {
  WithIndex();
  // The other program starts first, so it shares no open file with this
  // one (the engine keeps one open file per table in a process).
  int to_parent[2], to_child[2];
  ASSERT_EQ(::pipe(to_parent), 0);
  ASSERT_EQ(::pipe(to_child), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Another program holds the lock of QZ6ZZZ's card while it edits it.
    int status = 0;
    try {
      tessera::TTesseraDataSet other;
      other.SetTableName("Pyx.DBF");
      other.IndexFiles().Add("PYX.CDX");
      other.Open();
      other.SetIndexName("CALL");
      other.SeekValues({dbkit::Value("QZ6ZZZ")});
      other.Edit();
      char c = 'l';
      if (::write(to_parent[1], &c, 1) != 1) status |= 2;
      if (::read(to_child[0], &c, 1) != 1) status |= 2;
    } catch (...) {
      status = 1;
    }
    ::_exit(status);  // the lock goes with the process
  }
  char c = 0;
  ASSERT_EQ(::read(to_parent[0], &c, 1), 1);
  Start();
  ASSERT_EQ(Card("CALL_"), "QZ6ZZZ");
  view_->Take();
  try {
    controller_->MenuRedEditClick();
    ADD_FAILURE() << "the edit of a locked card was allowed";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Record is locked by another user");
  }
  EXPECT_EQ(view_->Take()[0], "Press 6");
  EXPECT_EQ(view_->State(), RecordingView::StateOf(CallbookController::Mode::kCardView));
  EXPECT_EQ(Table().State(), dbkit::DataSetState::kBrowse);
  ASSERT_EQ(::write(to_child[1], "g", 1), 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) ::close(fd);
  // Once the other program is gone the card can be edited.
  controller_->MenuRedEditClick();
  EXPECT_EQ(Table().State(), dbkit::DataSetState::kEdit);
  view_->PressNavigatorButton(8);
}

TEST_F(ControllerTest, NewCardIsAppendedAndFoundInEveryOrder) {
  WithIndex();
  Start();
  const int count = Table().RecordCount();
  controller_->MenuRedNewClick();
  ASSERT_EQ(Table().State(), dbkit::DataSetState::kInsert);
  const std::vector<std::pair<const char*, const char*>> values = {
      {"CALL_", "RZ0ZZT"},          {"FAM_", "Щекотов"},        {"IM_", "Яромир"},
      {"OTCH_", "Ёлкович"},        {"IND_", "999999"},        {"REG_", "Ямальский край"},
      {"GOR_", "Ыйск"},            {"ULIC_", "ул. Тестовая, 1"}, {"TEL_", "999-99-99"},
      {"PRIM_", "проверка"},       {"STRANA_", "Ъландия"},     {"EMAIL_", "rz0zzt@example.org"},
      {"URL_", "https://example.org/rz0zzt"},
  };
  for (const auto& [field, value] : values) Table().FieldByName(field)->SetAsString(plat::Utf8ToAnsi(value));
  view_->PressNavigatorButton(7);
  ASSERT_EQ(Table().State(), dbkit::DataSetState::kBrowse);
  EXPECT_EQ(Table().RecordCount(), count + 1);
  const int recno = count + 1;
  EXPECT_EQ(Table().RecNo(), recno);
  auto value_of = [&](const char* field) {
    for (const auto& [f, v] : values)
      if (std::string(f) == field) return std::string(v);
    return std::string();
  };
  for (const pyx::CallbookTag& tag : pyx::kCallbookTags) {
    Table().SetIndexName(tag.name);
    const std::string first_field(tag.expression.substr(0, tag.expression.find('+')));
    Table().First();
    Table().SeekValues({dbkit::Value(plat::Utf8ToAnsi(value_of(first_field.c_str())))});
    EXPECT_EQ(Table().RecNo(), recno) << tag.name;
    EXPECT_EQ(Card("CALL_"), "RZ0ZZT") << tag.name;
  }
}

}  // namespace
