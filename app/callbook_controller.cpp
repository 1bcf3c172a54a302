#include "app/callbook_controller.h"

#include <exception>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

#include "app/callbook_texts.h"
#include "dataset/index_file_build.h"
#include "dataset/tessera_data_set.h"
#include "dbkit/value.h"
#include "platform/codepage.h"
#include "platform/path.h"

namespace pyx {

namespace {

using tessera::TIndexTagDef;

// Status reports come once per record and once per key, millions of them
// on a large table, so the clock is read only every kReportsPerClockCheck
// reports.
constexpr uint32_t kReportsPerClockCheck = 512;

// A text with each "%s" replaced by the next of `args`.
std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> args) {
  std::string out;
  auto arg = args.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == 's' && arg != args.end()) {
      out += *arg++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

std::string Join(const std::vector<TIndexTagDef>& tags) {
  std::string out;
  for (const TIndexTagDef& t : tags) out += (out.empty() ? "" : ", ") + t.name;
  return out;
}

std::vector<TIndexTagDef> CallbookTagDefs() {
  std::vector<TIndexTagDef> out;
  for (const CallbookTag& t : kCallbookTags) out.push_back({std::string(t.name), std::string(t.expression), "", false, false});
  return out;
}

bool IsCallbookTagName(std::string_view name) {
  for (const CallbookTag& t : kCallbookTags)
    if (plat::UpperName(name) == t.name) return true;
  return false;
}

// A tag the callbook can search with: its key, every record, duplicates
// allowed, ascending.
bool ServesAs(const TIndexTagDef& tag, const TIndexTagDef& wanted) {
  return plat::UpperName(tag.name) == wanted.name &&
         tessera::CanonicalExpression(tag.key_expression) == tessera::CanonicalExpression(wanted.key_expression) &&
         tessera::CanonicalExpression(tag.for_expression).empty() && !tag.unique && !tag.descending;
}

// The callbook's tags that `tags` lack (or hold with another definition).
std::vector<TIndexTagDef> MissingTags(const std::vector<TIndexTagDef>& tags) {
  std::vector<TIndexTagDef> missing;
  for (const TIndexTagDef& wanted : CallbookTagDefs()) {
    bool found = false;
    for (const TIndexTagDef& t : tags) found = found || ServesAs(t, wanted);
    if (!found) missing.push_back(wanted);
  }
  return missing;
}

std::vector<TIndexTagDef> OtherTags(const std::vector<TIndexTagDef>& tags) {
  std::vector<TIndexTagDef> others;
  for (const TIndexTagDef& t : tags)
    if (!IsCallbookTagName(t.name)) others.push_back(t);
  return others;
}

}  // namespace

// Puts the window back into the mode it was in when the operation began
// if the operation leaves by an exception.
class CallbookController::ModeGuard {
 public:
  explicit ModeGuard(CallbookController& c) : c_(c), before_(c.mode_), exceptions_(std::uncaught_exceptions()) {}
  ~ModeGuard() {
    if (std::uncaught_exceptions() > exceptions_) c_.RestoreWindow(before_);
  }
  ModeGuard(const ModeGuard&) = delete;
  ModeGuard& operator=(const ModeGuard&) = delete;

 private:
  CallbookController& c_;
  Mode before_;
  int exceptions_;
};

struct CallbookController::IndexPlan {
  std::vector<TIndexTagDef> tags;  // to build; none: the index is sound
  bool keep_current = false;       // added to a copy of the current file
  std::string note;                // the status line once built
};

CallbookController::CallbookController() : table_(std::make_unique<tessera::TTesseraDataSet>()) {
  tessera::TTesseraDataSet& t = *table_;
  t.SetTableName("Pyx.DBF");
  t.SetAutoFlush(false);
  t.SetExclusive(false);
  t.SetLockProtocol(tessera::kDefaultLock);
  t.SetTranslateASCII(true);
  t.SetUseDeleted(false);
  t.SetUserID(0);
  t.OnStatus = [this](int32_t a, int32_t b, int32_t c) { OnStatus(a, b, c); };
}

CallbookController::~CallbookController() = default;

void CallbookController::OnStatus(int32_t /*stat1*/, int32_t /*stat2*/, int32_t /*stat3*/) {
  if (view_ == nullptr || ++reports_ % kReportsPerClockCheck != 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_repaint_ < repaint_interval_) return;
  last_repaint_ = now;
  view_->ProcessMessages();
}

// ------------------------------------------------------------------ modes

void CallbookController::ApplyMode(Mode mode) {
  const bool search = mode == Mode::kSearch;
  const bool grid = mode == Mode::kTable;
  const bool editing = mode == Mode::kEditing;
  view_->Hide("Gauge");
  view_->Hide("Wait");
  if (grid) {
    view_->BringToFront("DBGridPYX");
    view_->Show("DBGridPYX");
  } else {
    view_->Hide("DBGridPYX");
  }
  if (search) {
    view_->Show("EditVvod");
    view_->Show("ButtonEnter");
    view_->SendToBack("ButtonEnter");
  } else {
    view_->Hide("EditVvod");
    view_->Hide("ButtonEnter");
    view_->SetText("LabelFind", "");
  }
  SetCardEditsWritable(editing);
  view_->SetNavigatorButtons(editing ? kPostCancelButtons : kBrowseButtons);
  if (!editing) view_->SetNavigatorWidth(kNavigatorWidth);
  view_->SetMenuEnabled("MenuRed", mode == Mode::kCardView);
  view_->SetMenuEnabled("MenuFind", mode == Mode::kCardView);
  view_->SetMenuEnabled("MenuView", mode == Mode::kCardView || grid);
  view_->SetMenuEnabled("ViewTablica", !grid);
  view_->SetMenuEnabled("ViewStandart", grid);
  view_->SetFocus(search ? "EditVvod" : grid ? "DBGridPYX" : editing ? "DBEditCall" : "DBNavigator");
  mode_ = mode;
}

void CallbookController::RestoreWindow(Mode before) {
  if (view_ == nullptr) return;
  Mode target = before;
  const dbkit::DataSetState state = table_->State();
  if (state == dbkit::DataSetState::kEdit || state == dbkit::DataSetState::kInsert)
    target = Mode::kEditing;
  else if (target == Mode::kEditing || target == Mode::kNotStarted)
    target = Mode::kCardView;
  try {
    ApplyMode(target);
  } catch (...) {
    // The failure being passed on is the one to report.
  }
}

void CallbookController::SetEditGroups(bool enabled) {
  view_->SetMenuEnabled("MenuRed", enabled);
  view_->SetMenuEnabled("MenuFind", enabled);
  view_->SetMenuEnabled("MenuView", enabled);
}

void CallbookController::SetCardEditsWritable(bool writable) {
  for (std::string_view edit : kCardEdits) {
    view_->SetReadOnly(edit, !writable);
    view_->SetTabStop(edit, writable);
    view_->SetColour(edit, writable ? kClWindow : kClBtnFace);
  }
}

void CallbookController::SetStatus(std::string index_note) {
  index_note_ = std::move(index_note);
  std::string text = index_note_;
  if (table_->Active() && table_->ReadOnly()) text += (text.empty() ? "" : "; ") + std::string(kStatusReadOnly);
  if (text == status_) return;
  status_ = text;
  view_->SetText("StatusLine", status_);
}

// ------------------------------------------------------------ the index

void CallbookController::ShowWaitAndGauge() {
  view_->Show("Gauge");
  view_->Show("Wait");
  view_->ProcessMessages();
  view_->RepaintWait();
  last_repaint_ = std::chrono::steady_clock::now();
}

void CallbookController::ShowHomeCard() {
  table_->SetIndexName("CALL");
  table_->SeekValues({dbkit::Value(std::string(kHomeCall))});
}

void CallbookController::OpenTableAlone() {
  table_->Close();
  table_->IndexFiles().Clear();
  table_->Open();
}

bool CallbookController::OpenWithIndexIfUsable() {
  OpenTableAlone();
  if (!plat::FileExists(kIndexFile)) return false;
  try {
    const tessera::TIndexFileReport r = table_->InspectIndexFile(kIndexFile);
    if (!r.readable || r.interrupted || !MissingTags(r.tags).empty()) return false;
    table_->IndexFiles().Add(kIndexFile);
    ShowHomeCard();
    return true;
  } catch (const std::exception&) {
    if (!table_->Active()) table_->Open();
    return false;
  }
}

CallbookController::IndexPlan CallbookController::PlanIndex() {
  IndexPlan plan;
  if (!plat::FileExists(kIndexFile)) {
    plan.tags = CallbookTagDefs();
    return plan;
  }
  // Searches through an index that misses cards (a writer stopped half-way,
  // a file copied from elsewhere) or that lacks a tag would go wrong. The
  // check reads no card, so it costs a fraction of a second on any
  // callbook.
  const tessera::TIndexFileReport report = table_->InspectIndexFile(kIndexFile);
  if (!report.readable) {
    // The tags' definitions are lost with the directory: only the
    // callbook's own can be built again.
    plan.tags = CallbookTagDefs();
    plan.note = kStatusIndexMismatch;
    return plan;
  }
  const std::vector<TIndexTagDef> others = OtherTags(report.tags);
  if (report.interrupted || !report.faults.empty()) {
    plan.tags = CallbookTagDefs();
    plan.tags.insert(plan.tags.end(), others.begin(), others.end());
    plan.note = report.interrupted ? kStatusIndexInterrupted : kStatusIndexMismatch;
    return plan;
  }
  plan.tags = MissingTags(report.tags);
  if (plan.tags.empty()) return plan;
  plan.keep_current = true;
  plan.note = plan.tags.size() == CallbookTagDefs().size() ? std::string(kStatusAllTagsAdded)
                                                           : Fill(kStatusTagsAdded, {Join(plan.tags)});
  if (!others.empty()) plan.note += ", " + std::string(kStatusOtherTagsKept);
  return plan;
}

void CallbookController::BuildIndex(const std::vector<TIndexTagDef>& tags, bool keep_current) {
  ShowWaitAndGauge();
  view_->SetGaugeProgress(kGaugeStart);
  tessera::TIndexFileBuild build(*table_, kIndexFile, keep_current);
  // For the callbook's eleven tags this is the table's 9, 18, ... 100.
  const size_t n = tags.size();
  build.CreateTags(tags, [&](size_t k) { view_->SetGaugeProgress(static_cast<int>(100 * (k + 1) / n)); });
  build.Commit();
}

// ------------------------------------------------------------- start-up

bool CallbookController::FindTable() {
  while (!plat::FileExists(kTableFile)) {
    std::error_code ec;
    const std::string folder = std::filesystem::current_path(ec).string();
    if (view_->Ask(Fill(kNoTable, {folder, folder}), {kButtonChooseFolder, kButtonClose}) != 0) {
      view_->Close();
      return false;
    }
    const std::string chosen = view_->ChooseFolder(kChooseFolderTitle);
    if (!chosen.empty()) std::filesystem::current_path(chosen, ec);
  }
  return true;
}

void CallbookController::FormActivate() {
  if (started_) return;
  started_ = true;
  if (!FindTable()) return;
  try {
    OpenTableAlone();
    const IndexPlan plan = PlanIndex();
    if (!plan.tags.empty()) {
      BuildIndex(plan.tags, plan.keep_current);
      view_->Hide("Gauge");  // Wait stays up until the table is open again
    }
    table_->Close();
    table_->IndexFiles().Add(kIndexFile);
    table_->Open();
    view_->Hide("Wait");
    ShowHomeCard();
    mode_ = Mode::kCardView;
    SetStatus(plan.note);
    view_->SetMenuEnabled("ViewStandart", false);
  } catch (...) {
    // Whatever the build left, the previous index (or none) is in place:
    // the callbook opens with it, or with the table alone, and says so.
    std::string note;
    try {
      note = OpenWithIndexIfUsable() ? kStatusIndexNotRebuilt : kStatusIndexNotBuilt;
    } catch (...) {
    }
    RestoreWindow(Mode::kCardView);
    try {
      SetStatus(note);
    } catch (...) {
    }
    throw;
  }
}

bool CallbookController::CloseAsks() const {
  if (!table_->Active()) return false;
  const dbkit::DataSetState state = table_->State();
  return state == dbkit::DataSetState::kEdit || state == dbkit::DataSetState::kInsert;
}

bool CallbookController::FormCloseQuery(bool may_ask) {
  if (!CloseAsks()) return true;
  const int answer = may_ask ? view_->Ask(kAskSaveChanges, {kButtonYes, kButtonNo, kButtonCancel}) : 0;
  if (answer == 2) return false;
  // A post that fails raises here and the window stays open on the card.
  view_->PressNavigatorButton(answer == 0 ? kNbPost : kNbCancel);
  return true;
}

// --------------------------------------------------------------- reindex

void CallbookController::MenuRedReindClick() {
  const std::string old_tag = table_->IndexName();
  const int old_recno = table_->Active() && !table_->IsEmpty() ? table_->RecNo() : 0;
  // Back to the previous index (untouched by a build that did not finish),
  // in the order and on the card shown before.
  auto back_as_before = [&] {
    const bool indexed = OpenWithIndexIfUsable();
    if (indexed && !old_tag.empty()) table_->SetIndexName(old_tag);
    if (old_recno > 0 && old_recno <= table_->RecordCount()) table_->SetRecNo(old_recno);
    return indexed;
  };
  try {
    std::vector<TIndexTagDef> tags = CallbookTagDefs();
    table_->IndexFiles().Clear();
    if (!table_->Active()) table_->Open();
    if (plat::FileExists(kIndexFile)) {
      const tessera::TIndexFileReport report = table_->InspectIndexFile(kIndexFile);
      const std::vector<TIndexTagDef> others = OtherTags(report.tags);
      if (!others.empty()) {
        const int answer =
            view_->Ask(Fill(kAskForeignTags, {Join(others)}), {kButtonKeep, kButtonRemove, kButtonCancel});
        if (answer == 2) {
          back_as_before();
          return;
        }
        if (answer == 0) tags.insert(tags.end(), others.begin(), others.end());
      }
    }
    BuildIndex(tags, false);
    table_->Close();
    table_->IndexFiles().Add(kIndexFile);
    table_->Open();
    view_->Hide("Wait");
    view_->Hide("Gauge");
    ShowHomeCard();
    SetStatus("");
  } catch (...) {
    std::string note;
    try {
      note = back_as_before() ? index_note_ : std::string(kStatusIndexNotBuilt);
    } catch (...) {
    }
    RestoreWindow(mode_);
    try {
      SetStatus(note);
    } catch (...) {
    }
    throw;
  }
}

// ------------------------------------------------------------ menu items

void CallbookController::MenuRedExitClick() { view_->Close(); }

void CallbookController::MenuRedNewClick() {
  ModeGuard guard(*this);
  view_->PressNavigatorButton(kNbInsert);
}

void CallbookController::MenuRedEditClick() {
  ModeGuard guard(*this);
  view_->PressNavigatorButton(kNbEdit);
}

void CallbookController::MenuRedDelClick() {
  ModeGuard guard(*this);
  view_->PressNavigatorButton(kNbDelete);
}

// ---------------------------------------------------------------- search

void CallbookController::EnterSearch(const SearchChoice& choice) {
  ModeGuard guard(*this);
  view_->SetText("LabelFind", choice.prompt);
  view_->SetHint("EditVvod", choice.hint);
  SetEditGroups(false);
  table_->SetIndexName(choice.tag);
  view_->Show("EditVvod");
  // The default button stays behind the panels, unseen, so that Enter in
  // the search input reaches ButtonEnterClick.
  view_->Show("ButtonEnter");
  view_->SendToBack("ButtonEnter");
  view_->SetText("EditVvod", "");
  view_->SetFocus("EditVvod");
  mode_ = Mode::kSearch;
}

void CallbookController::LeaveSearch() {
  SetEditGroups(true);
  view_->Hide("EditVvod");
  view_->Hide("ButtonEnter");
  view_->SetText("LabelFind", "");
  mode_ = Mode::kCardView;
}

void CallbookController::ButtonEnterClick(std::string_view text) {
  ModeGuard guard(*this);
  // The dataset speaks the window code page.
  table_->SeekValues({dbkit::Value(plat::Utf8ToAnsi(text))});
  LeaveSearch();
}

void CallbookController::EditVvodKeyDown(int key) {
  if (key != kVkEscape) return;
  ModeGuard guard(*this);
  view_->SetFocus("DBNavigator");
  LeaveSearch();
}

// ------------------------------------------------------------ table view

void CallbookController::ViewTablicaClick() {
  ModeGuard guard(*this);
  view_->BringToFront("DBGridPYX");
  view_->Show("DBGridPYX");
  view_->SetFocus("DBGridPYX");
  view_->SetMenuEnabled("MenuRed", false);
  view_->SetMenuEnabled("MenuFind", false);
  view_->SetMenuEnabled("ViewTablica", false);
  view_->SetMenuEnabled("ViewStandart", true);
  mode_ = Mode::kTable;
}

void CallbookController::ViewStandartClick() {
  ModeGuard guard(*this);
  view_->Hide("DBGridPYX");
  view_->SetMenuEnabled("MenuRed", true);
  view_->SetMenuEnabled("ViewTablica", true);
  view_->SetMenuEnabled("MenuFind", true);
  view_->SetMenuEnabled("ViewStandart", false);
  mode_ = Mode::kCardView;
}

void CallbookController::DBGridPYXKeyDown(int key) {
  if (key == kVkEscape) ViewStandartClick();
}

void CallbookController::DBGridPYXTitleClick(std::string_view field) {
  ModeGuard guard(*this);
  for (const TitleTag& t : kTitleTags) {
    if (t.field == field) {
      table_->SetIndexName(t.tag);
      return;
    }
  }
}

// ------------------------------------------------------------- navigator

void CallbookController::DBNavigatorClick(int button) {
  ModeGuard guard(*this);
  switch (button) {
    case kNbInsert:
    case kNbEdit:
      SetCardEditsWritable(true);
      view_->SetFocus("DBEditCall");
      SetEditGroups(false);
      view_->SetNavigatorButtons(kPostCancelButtons);
      mode_ = Mode::kEditing;
      if (button == kNbEdit && table_->RecordChangedByOther()) view_->ShowMessage(kCardChangedByOther);
      break;
    case kNbPost:
    case kNbCancel:
      SetCardEditsWritable(false);
      view_->SetFocus("DBNavigator");
      SetEditGroups(true);
      view_->SetNavigatorButtons(kBrowseButtons);
      view_->SetNavigatorWidth(kNavigatorWidth);
      mode_ = Mode::kCardView;
      break;
    default: break;
  }
}

}  // namespace pyx
