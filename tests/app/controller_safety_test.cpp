// The callbook controller when things go wrong: a window request or a data
// operation that fails part-way through any operation, a full disk during
// an index build, an index made by another program, another program that
// changes or deletes the card being edited, closing in the middle of an
// edit, a read-only callbook. Every case ends in a consistent window with
// nothing lost.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "app/callbook_texts.h"
#include "controller_fixture.h"
#include "engine/dbf_handler.h"
#include "platform/write_faults.h"

namespace {

namespace fs = std::filesystem;
using pyx::CallbookController;
using pyx_test::Calls;
using pyx_test::ControllerTest;
using pyx_test::IndexOf;
using pyx_test::RecordingView;
using Mode = CallbookController::Mode;

std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

// Files in the folder whose names are not these.
std::vector<std::string> OtherFiles(const std::string& dir, std::set<std::string> known) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir))
    if (known.count(e.path().filename().string()) == 0) out.push_back(e.path().filename().string());
  return out;
}

// Adds a tag to PYX.CDX as another xBase program would.
void AddTag(const char* name, const char* expression) {
  tessera::KTO_dBHandler t("Pyx.DBF", false, true);
  t.CreateIndexTag("PYX.CDX", name, expression, "", tessera::kDuplicateKeys, 0);
}

// Another program on the callbook: a child process, started before this
// one opens anything (so that it shares no open file with it), that runs
// `action` when told to and reports whether it went through.
class OtherProgram {
 public:
  explicit OtherProgram(std::function<void()> action) {
    if (::pipe(to_child_) != 0 || ::pipe(to_parent_) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      char c = 0;
      int status = ::read(to_child_[0], &c, 1) == 1 ? 0 : 2;
      try {
        action();
      } catch (...) {
        status = 1;
      }
      c = static_cast<char>('0' + status);
      if (::write(to_parent_[1], &c, 1) != 1) status = 2;
      ::_exit(status);
    }
  }
  ~OtherProgram() {
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    for (int fd : {to_child_[0], to_child_[1], to_parent_[0], to_parent_[1]}) ::close(fd);
  }
  // Runs the action in the other program and waits for it to finish.
  bool Go() {
    char c = 'g';
    if (::write(to_child_[1], &c, 1) != 1 || ::read(to_parent_[0], &c, 1) != 1) return false;
    return c == '0';
  }

 private:
  int to_child_[2] = {-1, -1};
  int to_parent_[2] = {-1, -1};
  pid_t pid_ = -1;
};

// The other program's dataset on the callbook, on the card of QZ6ZZZ.
void OnHomeCard(const std::function<void(tessera::TTesseraDataSet&)>& action) {
  tessera::TTesseraDataSet other;
  other.SetTableName("Pyx.DBF");
  other.IndexFiles().Add("PYX.CDX");
  other.Open();
  other.SetIndexName("CALL");
  other.SeekValues({dbkit::Value("QZ6ZZZ")});
  action(other);
}

class SafetyTest : public ControllerTest {
 protected:
  std::string State() { return view_->State(); }
  static std::string StateOf(Mode m) { return RecordingView::StateOf(m); }
  // The tags of the open index: name -> key expression.
  std::map<std::string, std::string> Tags() {
    std::map<std::string, std::string> out;
    for (int i = 1; i <= Table().TagCount(); ++i) out[Table().TagName(i)] = Table().TagExpression(i);
    return out;
  }
  std::map<std::string, std::string> CallbookTags() {
    std::map<std::string, std::string> out;
    for (const pyx::CallbookTag& t : pyx::kCallbookTags) out[std::string(t.name)] = std::string(t.expression);
    return out;
  }
  // Brings the window from the card view into `mode` through the
  // controller's own operations.
  void Enter(Mode mode) {
    switch (mode) {
      case Mode::kSearch: controller_->MenuFindCallClick(); break;
      case Mode::kTable: controller_->ViewTablicaClick(); break;
      case Mode::kEditing: controller_->MenuRedEditClick(); break;
      default: break;
    }
    ASSERT_EQ(State(), StateOf(mode));
  }
  // Back to the card view from whatever mode.
  void Leave() {
    if (Table().State() != dbkit::DataSetState::kBrowse) view_->PressNavigatorButton(pyx::kNbCancel);
    switch (controller_->CurrentMode()) {
      case Mode::kSearch: controller_->EditVvodKeyDown(pyx::kVkEscape); break;
      case Mode::kTable: controller_->ViewStandartClick(); break;
      default: break;
    }
    ASSERT_EQ(State(), StateOf(Mode::kCardView));
  }
};

// Every operation, made to fail at each of the window requests it makes in
// turn (a window that cannot do what it is asked stands for anything that
// fails part-way), leaves the window in one consistent mode: the one it was
// in, or editing when the dataset is still editing a card.
TEST_F(SafetyTest, AnOperationThatFailsAtAnyStepLeavesAConsistentWindow) {
  WithIndex();
  Start();
  struct Op {
    const char* what;
    Mode from;
    std::function<void()> run;
  };
  CallbookController& c = *controller_;
  const std::vector<Op> ops = {
      {"F7", Mode::kCardView, [&] { c.MenuFindCallClick(); }},
      {"surname search", Mode::kCardView, [&] { c.MenuFindFIOFClick(); }},
      {"F3", Mode::kCardView, [&] { c.ViewTablicaClick(); }},
      {"F4", Mode::kCardView, [&] { c.MenuRedEditClick(); }},
      {"F6", Mode::kCardView, [&] { c.MenuRedNewClick(); }},
      {"Переиндексация", Mode::kCardView, [&] { c.MenuRedReindClick(); }},
      {"Enter in the search", Mode::kSearch, [&] { c.ButtonEnterClick("UA1"); }},
      {"Escape in the search", Mode::kSearch, [&] { c.EditVvodKeyDown(pyx::kVkEscape); }},
      {"F2", Mode::kTable, [&] { c.ViewStandartClick(); }},
      {"Escape in the grid", Mode::kTable, [&] { c.DBGridPYXKeyDown(pyx::kVkEscape); }},
      {"column title", Mode::kTable, [&] { c.DBGridPYXTitleClick("FAM_"); }},
      {"post", Mode::kEditing, [&] { view_->PressNavigatorButton(pyx::kNbPost); }},
      {"cancel", Mode::kEditing, [&] { view_->PressNavigatorButton(pyx::kNbCancel); }},
      {"close, saving", Mode::kEditing, [&] {
         view_->answers = {0};
         c.FormCloseQuery();
       }},
  };
  for (const Op& op : ops) {
    for (int step = 0;; ++step) {
      SCOPED_TRACE(std::string(op.what) + ", failing at request " + std::to_string(step));
      Leave();
      Enter(op.from);
      view_->Take();
      view_->FailAt(step);
      bool failed = false;
      try {
        op.run();
      } catch (const std::exception&) {
        failed = true;
      }
      view_->FailAt(-1);
      view_->answers.clear();
      if (!failed) break;  // every request of the operation has failed once
      const bool editing = Table().State() != dbkit::DataSetState::kBrowse;
      const Mode expected = editing ? Mode::kEditing : op.from == Mode::kEditing ? Mode::kCardView : op.from;
      EXPECT_EQ(State(), StateOf(expected));
      EXPECT_EQ(controller_->CurrentMode(), expected);
      ASSERT_LT(step, 200) << "the operation never got through";
    }
  }
  Leave();
  // Nothing was lost on the way: the table and its index agree.
  EXPECT_EQ(Table().TagCount(), 11);
  Table().SetIndexName("CALL");
  Table().SeekValues({dbkit::Value("QZ6ZZZ")});
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
}

// The start-up, failing at any request: the callbook still opens.
TEST_F(SafetyTest, AStartUpThatFailsAtAnyStepStillOpensTheCallbook) {
  for (int step = 0;; ++step) {
    SCOPED_TRACE("failing at request " + std::to_string(step));
    view_.reset();
    controller_.reset();
    fs::remove(dir_ / "PYX.CDX");
    controller_ = std::make_unique<CallbookController>();
    view_ = std::make_unique<RecordingView>(*controller_);
    view_->FailAt(step);
    bool failed = false;
    try {
      controller_->FormActivate();
    } catch (const std::exception&) {
      failed = true;
    }
    view_->FailAt(-1);
    if (!failed) break;
    EXPECT_EQ(State(), StateOf(Mode::kCardView));
    EXPECT_TRUE(Table().Active());
    EXPECT_EQ(OtherFiles(dir_.path(), {"Pyx.DBF", "PYX.CDX"}), std::vector<std::string>{});
    if (fs::exists(dir_ / "PYX.CDX")) {
      EXPECT_EQ(Tags(), CallbookTags());
    } else {
      EXPECT_EQ(controller_->Status(), pyx::kStatusIndexNotBuilt);
    }
    ASSERT_LT(step, 200);
  }
}

// A full disk while the index is built at start: no PYX.CDX is left (not
// one without tags), the callbook opens on the table alone and says so, a
// search fails once and leaves the card view, and the next start (or
// "Переиндексация" once there is room) builds the index.
TEST_F(SafetyTest, AFullDiskDuringTheFirstBuildLeavesNoIndexAndTheNextStartBuildsIt) {
  for (int64_t write : {int64_t{0}, int64_t{3}, int64_t{40}}) {
    SCOPED_TRACE("the disk fills at write " + std::to_string(write));
    view_.reset();
    controller_.reset();
    fs::remove(dir_ / "PYX.CDX");
    plat::ArmWriteFault(plat::WriteFault::kDiskFull, write, 112);
    try {
      Start();
      ADD_FAILURE() << "the build went through on a full disk";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find("112"), std::string::npos) << e.what();
    }
    plat::DisarmWriteFault();
    EXPECT_EQ(State(), StateOf(Mode::kCardView));
    EXPECT_EQ(OtherFiles(dir_.path(), {"Pyx.DBF"}), std::vector<std::string>{});
    EXPECT_EQ(controller_->Status(), pyx::kStatusIndexNotBuilt);
    ASSERT_TRUE(Table().Active());
    EXPECT_EQ(Table().RecordCount(), 3000);
    EXPECT_EQ(Table().RecNo(), 1);
    view_->Take();
    EXPECT_THROW(controller_->MenuFindCallClick(), std::exception);
    EXPECT_EQ(State(), StateOf(Mode::kCardView));
    // The card view still works: moving and editing.
    view_->PressNavigatorButton(pyx::kNbNext);
    EXPECT_EQ(Table().RecNo(), 2);
  }
  // Room again: Переиндексация builds the index and the callbook is whole.
  controller_->MenuRedReindClick();
  EXPECT_EQ(Tags(), CallbookTags());
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
  EXPECT_EQ(controller_->Status(), "");
  // So does the next start after a failed one.
  view_.reset();
  controller_.reset();
  fs::remove(dir_ / "PYX.CDX");
  plat::ArmWriteFault(plat::WriteFault::kDiskFull, 10, 112);
  EXPECT_THROW(Start(), std::exception);
  plat::DisarmWriteFault();
  view_.reset();
  controller_.reset();
  Start();
  EXPECT_EQ(Tags(), CallbookTags());
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
}

// A full disk during "Переиндексация": the previous index stays, byte for
// byte, and the callbook goes on in the order and on the card it showed.
TEST_F(SafetyTest, AFullDiskDuringReindexKeepsThePreviousIndex) {
  WithIndex();
  Start();
  controller_->DBGridPYXTitleClick("FAM_");
  Table().SetRecNo(77);
  const std::string before = ReadFile(dir_ / "PYX.CDX");
  view_->Take();
  plat::ArmWriteFault(plat::WriteFault::kDiskFull, 25, 112);
  EXPECT_THROW(controller_->MenuRedReindClick(), std::exception);
  plat::DisarmWriteFault();
  EXPECT_EQ(ReadFile(dir_ / "PYX.CDX"), before);
  EXPECT_EQ(OtherFiles(dir_.path(), {"Pyx.DBF", "PYX.CDX"}), std::vector<std::string>{});
  EXPECT_EQ(State(), StateOf(Mode::kCardView));
  EXPECT_EQ(Table().IndexName(), "FIO");
  EXPECT_EQ(Table().RecNo(), 77);
  EXPECT_EQ(controller_->Status(), "");
  // Searches go on through the previous index.
  controller_->MenuFindCallClick();
  controller_->ButtonEnterClick("QZ6ZZZ");
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
}

// An index that another program made with some of the callbook's tags (one
// of them over another key) and tags of its own: the missing ones are
// added at start, the others kept, and the status line says so.
TEST_F(SafetyTest, AnIndexLackingTagsGetsThemAtStartAndKeepsTheOthers) {
  AddTag("CALL", "CALL_");
  AddTag("FIO", "FAM_");
  AddTag("ZIP", "IND_+GOR_");
  Start();
  EXPECT_EQ(view_->GaugeValues(), (std::vector<int>{1, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
  EXPECT_EQ(controller_->Status(),
            "В индекс PYX.CDX добавлены теги справочника: FIO, IM, OTCH, REG, GOR, STRANA, IND, TEL, EMAIL, URL, "
            "теги других программ сохранены");
  std::map<std::string, std::string> want = CallbookTags();
  want["ZIP"] = "IND_+GOR_";
  EXPECT_EQ(Tags(), want);
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
  EXPECT_EQ(State(), StateOf(Mode::kCardView));
  // The kept tag still holds every card, and a surname search works.
  Table().SetIndexName("ZIP");
  EXPECT_EQ(Table().RecordCount(), 3000);
  controller_->MenuFindFIOFClick();
  controller_->ButtonEnterClick("Т");
  EXPECT_EQ(Card("FAM_").rfind("Т", 0), 0u) << Card("FAM_");
  // A second start finds nothing to do.
  view_.reset();
  controller_.reset();
  Start();
  EXPECT_TRUE(view_->GaugeValues().empty());
  EXPECT_EQ(controller_->Status(), "");
}

// "Переиндексация" over an index with another program's tags asks first:
// Отмена changes nothing, Сохранить rebuilds them with the callbook's,
// Удалить leaves the callbook's eleven.
TEST_F(SafetyTest, ReindexAsksBeforeItRemovesOtherProgramsTags) {
  WithIndex();
  AddTag("ZIP", "IND_");
  Start();
  EXPECT_EQ(Tags().size(), 12u);
  controller_->DBGridPYXTitleClick("GOR_");
  const int recno = Table().RecNo();
  struct stat before {};
  ASSERT_EQ(::stat("PYX.CDX", &before), 0);
  ASSERT_EQ(::link("PYX.CDX", "old.cdx"), 0);  // keeps the inode from reuse
  view_->Take();
  view_->answers = {2};
  controller_->MenuRedReindClick();
  ASSERT_EQ(view_->asked.size(), 1u);
  EXPECT_NE(view_->asked[0].find("теги других программ: ZIP"), std::string::npos) << view_->asked[0];
  EXPECT_EQ(view_->calls[0], "Ask [Сохранить] [Удалить] [Отмена]");
  EXPECT_TRUE(view_->GaugeValues().empty());
  struct stat now {};
  ASSERT_EQ(::stat("PYX.CDX", &now), 0);
  EXPECT_EQ(now.st_ino, before.st_ino);
  EXPECT_EQ(Table().IndexName(), "GOR");
  EXPECT_EQ(Table().RecNo(), recno);
  EXPECT_EQ(State(), StateOf(Mode::kCardView));
  fs::remove("old.cdx");

  view_->answers = {0};
  controller_->MenuRedReindClick();
  EXPECT_EQ(Tags().size(), 12u);
  EXPECT_EQ(Tags()["ZIP"], "IND_");
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");

  view_->answers = {1};
  controller_->MenuRedReindClick();
  EXPECT_EQ(Tags(), CallbookTags());
  // Without other tags there is nothing to ask.
  view_->asked.clear();
  controller_->MenuRedReindClick();
  EXPECT_TRUE(view_->asked.empty());
}

// F4 on a card that another program deleted after it was shown: refused,
// said, and the next card shown; the deleted record is not written.
TEST_F(SafetyTest, EditOfACardAnotherProgramDeletedIsRefused) {
  WithIndex();
  OtherProgram other([] { OnHomeCard([](tessera::TTesseraDataSet& ds) { ds.Delete(); }); });
  Start();
  ASSERT_EQ(Card("CALL_"), "QZ6ZZZ");
  const std::string record_before = ReadFile(dir_ / "Pyx.DBF");
  ASSERT_TRUE(other.Go());
  try {
    controller_->MenuRedEditClick();
    ADD_FAILURE() << "the edit of a deleted card went through";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Record was deleted by another user");
  }
  EXPECT_EQ(State(), StateOf(Mode::kCardView));
  EXPECT_EQ(Table().State(), dbkit::DataSetState::kBrowse);
  EXPECT_NE(Card("CALL_"), "QZ6ZZZ");
  EXPECT_NE(Table().RecNo(), 1001);
  // The next card in callsign order can be edited.
  controller_->MenuRedEditClick();
  EXPECT_EQ(State(), StateOf(Mode::kEditing));
  view_->PressNavigatorButton(pyx::kNbCancel);
  tessera::KTO_dBHandler t("Pyx.DBF", true, false);
  t.GotoRecord(1001);
  EXPECT_TRUE(t.IsDeleted());
  EXPECT_EQ(t.GetText("CALL_").substr(0, 6), "QZ6ZZZ");
}

// F4 on a card that another program changed after it was shown: the edit
// starts from the card as it now stands, and says so.
TEST_F(SafetyTest, EditOfACardAnotherProgramChangedStartsFromItsNewVersion) {
  WithIndex();
  OtherProgram other([] {
    OnHomeCard([](tessera::TTesseraDataSet& ds) {
      ds.Edit();
      ds.FieldByName("TEL_")->SetAsString("111-11-11");
      ds.Post();
    });
  });
  Start();
  ASSERT_TRUE(other.Go());
  view_->Take();
  controller_->MenuRedEditClick();
  EXPECT_EQ(view_->messages, std::vector<std::string>{std::string(pyx::kCardChangedByOther)});
  EXPECT_EQ(State(), StateOf(Mode::kEditing));
  EXPECT_EQ(Card("TEL_"), "111-11-11");
  Table().FieldByName("PRIM_")->SetAsString(plat::Utf8ToAnsi("ПРОВЕРЕНО"));
  view_->PressNavigatorButton(pyx::kNbPost);
  tessera::KTO_dBHandler t("Pyx.DBF", true, false);
  t.GotoRecord(1001);
  EXPECT_EQ(t.GetText("TEL_").substr(0, 9), "111-11-11");
  EXPECT_EQ(t.GetText("PRIM_").substr(0, 9), plat::Utf8ToOem("ПРОВЕРЕНО"));
  // An edit of an unchanged card says nothing.
  view_->messages.clear();
  controller_->MenuRedEditClick();
  EXPECT_TRUE(view_->messages.empty());
  view_->PressNavigatorButton(pyx::kNbCancel);
}

// Closing while a card is edited or added: Отмена goes back to the card,
// Нет drops the changes, Да posts them; a post that fails keeps the window
// and the card; a session that allows no question posts.
TEST_F(SafetyTest, ClosingDuringAnEditAsksAndLosesNothing) {
  WithIndex();
  Start();
  view_->Take();
  EXPECT_TRUE(controller_->FormCloseQuery());
  EXPECT_TRUE(view_->asked.empty());
  auto edit_phone = [&](const char* phone) {
    controller_->MenuRedEditClick();
    Table().FieldByName("TEL_")->SetAsString(phone);
  };
  auto stored_phone = [&] {
    tessera::KTO_dBHandler t("Pyx.DBF", true, false);
    t.GotoRecord(1001);
    return t.GetText("TEL_").substr(0, 9);
  };
  const std::string original = stored_phone();

  edit_phone("222-22-22");
  view_->answers = {2};
  EXPECT_FALSE(controller_->FormCloseQuery());
  EXPECT_EQ(view_->asked.back(), "Сохранить изменения?");
  EXPECT_EQ(IndexOf(view_->calls, "Ask [Да] [Нет] [Отмена]"), static_cast<int>(view_->calls.size()) - 1);
  EXPECT_EQ(State(), StateOf(Mode::kEditing));
  EXPECT_EQ(Card("TEL_"), "222-22-22");

  view_->answers = {1};
  EXPECT_TRUE(controller_->FormCloseQuery());
  EXPECT_EQ(State(), StateOf(Mode::kCardView));
  EXPECT_EQ(stored_phone(), original);

  edit_phone("333-33-33");
  plat::ArmWriteFault(plat::WriteFault::kOnce, 0, 29);
  view_->answers = {0};
  EXPECT_THROW(controller_->FormCloseQuery(), std::exception);
  plat::DisarmWriteFault();
  EXPECT_EQ(Table().State(), dbkit::DataSetState::kEdit);
  EXPECT_EQ(State(), StateOf(Mode::kEditing));
  EXPECT_EQ(Card("TEL_"), "333-33-33");
  EXPECT_EQ(stored_phone(), original);

  view_->answers = {0};
  EXPECT_TRUE(controller_->FormCloseQuery());
  EXPECT_EQ(stored_phone(), "333-33-33");
  EXPECT_EQ(State(), StateOf(Mode::kCardView));

  // A new card, and a session end that allows no question.
  const int count = Table().RecordCount();
  controller_->MenuRedNewClick();
  Table().FieldByName("CALL_")->SetAsString("RA0NEW");
  view_->asked.clear();
  EXPECT_TRUE(controller_->FormCloseQuery(false));
  EXPECT_TRUE(view_->asked.empty());
  EXPECT_EQ(Table().RecordCount(), count + 1);
  EXPECT_EQ(Card("CALL_"), "RA0NEW");
}

// A callbook the program may only read says so at start; deleting is
// refused before any question.
TEST_F(SafetyTest, AReadOnlyCallbookSaysSoAtStart) {
  WithIndex();
  controller_ = std::make_unique<CallbookController>();
  view_ = std::make_unique<RecordingView>(*controller_);
  Table().SetReadOnly(true);
  controller_->FormActivate();
  EXPECT_EQ(controller_->Status(), pyx::kStatusReadOnly);
  EXPECT_EQ(view_->Text("StatusLine"), pyx::kStatusReadOnly);
  EXPECT_FALSE(Table().CanModify());
  EXPECT_THROW(Table().Delete(), std::exception);
  EXPECT_EQ(Card("CALL_"), "QZ6ZZZ");
  EXPECT_EQ(Table().RecordCount(), 3000);
}

}  // namespace
