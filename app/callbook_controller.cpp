#include "app/callbook_controller.h"

#include <string>
#include <vector>

#include "dataset/tessera_data_set.h"
#include "dbkit/value.h"
#include "engine/dbf_handler.h"
#include "engine/errors.h"
#include "index/cdx_file.h"
#include "index/index_repair.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/last_error.h"
#include "platform/path.h"

namespace pyx {

namespace {

// Status reports come once per record and once per key, millions of them
// on a large table, so the clock is read only every kReportsPerClockCheck
// reports.
constexpr uint32_t kReportsPerClockCheck = 512;

// Status texts after the start-up rebuilt the index, by the reason.
constexpr std::string_view kStatusIndexInterrupted = "Запись в индекс PYX.CDX не была завершена, индекс перестроен";
constexpr std::string_view kStatusIndexMismatch = "Индекс PYX.CDX не соответствует таблице и перестроен";

}  // namespace

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

void CallbookController::ShowWaitAndGauge() {
  view_->Show("Gauge");
  view_->Show("Wait");
  view_->ProcessMessages();
  view_->RepaintWait();
  last_repaint_ = std::chrono::steady_clock::now();
}

void CallbookController::BuildIndexTags() {
  for (const CallbookTag& tag : kCallbookTags) {
    // No FOR condition, duplicates allowed (1), ascending (0).
    table_->CreateIndexTag(kIndexFile, tag.name, tag.expression, "", 1, 0);
    view_->SetGaugeProgress(tag.gauge_after);
  }
}

void CallbookController::ShowHomeCard() {
  table_->SetIndexName("CALL");
  table_->SeekValues({dbkit::Value(std::string(kHomeCall))});
}

std::string_view CallbookController::QuickCheckIndex() {
  // Searches through an index that misses cards (a writer stopped half-way,
  // a file copied from elsewhere) would go wrong without a word. The check
  // reads no card, so it costs a fraction of a second on any callbook.
  try {
    tessera::KTO_dBHandler table(kTableFile, true, false);
    tessera::KTobjCDXFile index(&table, kIndexFile, false, false, true, false);
    if (!index.Opened()) return kStatusIndexMismatch;
    if (index.NeedsRebuild()) return kStatusIndexInterrupted;
    return tessera::QuickCheckIndexFile(table, index).empty() ? std::string_view() : kStatusIndexMismatch;
  } catch (const std::exception&) {
    // The table itself cannot be read or the index stays locked: opening
    // the table reports that as it always does.
    return {};
  }
}

void CallbookController::FormActivate() {
  if (started_) return;
  started_ = true;
  if (!plat::FileExists(kTableFile)) {
    view_->Close();
    return;
  }
  if (!plat::FileExists(kIndexFile)) {
    ShowWaitAndGauge();
    table_->Close();
    table_->IndexFiles().Clear();
    table_->Open();  // the table alone, with no index file
    view_->SetGaugeProgress(kGaugeStart);
    BuildIndexTags();
    table_->Close();
    view_->Hide("Gauge");  // Wait stays up until the table is open again
  } else if (const std::string_view why = QuickCheckIndex(); !why.empty()) {
    MenuRedReindClick();
    view_->SetText("StatusLine", why);
    view_->SetMenuEnabled("ViewStandart", false);
    return;
  }
  table_->IndexFiles().Add(kIndexFile);
  table_->Open();
  view_->Hide("Wait");
  ShowHomeCard();
  view_->SetMenuEnabled("ViewStandart", false);
}

void CallbookController::MenuRedReindClick() {
  ShowWaitAndGauge();
  table_->Close();
  table_->IndexFiles().Clear();
  view_->SetGaugeProgress(kGaugeStart);
  if (plat::FileExists(kIndexFile)) {
    // Another program that has the index open would go on keeping its tags
    // in the deleted file while this one builds a new file, and the two
    // would part ways without a word. The file is deleted only while this
    // program holds it alone; otherwise the callbook goes back to where it
    // was and says why.
    plat::FileHandle sole = plat::FileHandle::Open(kIndexFile, true, false);
    if (!sole.valid()) {
      const int32_t error = plat::LastError();
      table_->IndexFiles().Add(kIndexFile);
      table_->Open();
      view_->Hide("Wait");
      view_->Hide("Gauge");
      ShowHomeCard();
      tessera::EngineErrorHandler(error, tessera::kNoSubCode, plat::UpperName(plat::FullPath(kIndexFile)));
      return;
    }
    plat::DeleteFile(kIndexFile);
  }
  table_->Open();
  BuildIndexTags();  // the first tag creates the new "PYX.CDX"
  table_->Close();
  table_->IndexFiles().Add(kIndexFile);
  table_->Open();
  view_->Hide("Wait");
  view_->Hide("Gauge");
  ShowHomeCard();
}

void CallbookController::MenuRedExitClick() { view_->Close(); }
void CallbookController::MenuRedNewClick() { view_->PressNavigatorButton(kNbInsert); }
void CallbookController::MenuRedEditClick() { view_->PressNavigatorButton(kNbEdit); }
void CallbookController::MenuRedDelClick() { view_->PressNavigatorButton(kNbDelete); }

void CallbookController::SetEditGroups(bool enabled) {
  view_->SetMenuEnabled("MenuRed", enabled);
  view_->SetMenuEnabled("MenuFind", enabled);
  view_->SetMenuEnabled("MenuView", enabled);
}

void CallbookController::EnterSearch(const SearchChoice& choice) {
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
}

void CallbookController::LeaveSearch() {
  SetEditGroups(true);
  view_->Hide("EditVvod");
  view_->Hide("ButtonEnter");
  view_->SetText("LabelFind", "");
}

void CallbookController::ButtonEnterClick(std::string_view text) {
  // The dataset speaks the window code page.
  table_->SeekValues({dbkit::Value(plat::Utf8ToAnsi(text))});
  LeaveSearch();
}

void CallbookController::EditVvodKeyDown(int key) {
  if (key != kVkEscape) return;
  view_->SetFocus("DBNavigator");
  LeaveSearch();
}

void CallbookController::ViewTablicaClick() {
  view_->BringToFront("DBGridPYX");
  view_->Show("DBGridPYX");
  view_->SetFocus("DBGridPYX");
  view_->SetMenuEnabled("MenuRed", false);
  view_->SetMenuEnabled("MenuFind", false);
  view_->SetMenuEnabled("ViewTablica", false);
  view_->SetMenuEnabled("ViewStandart", true);
}

void CallbookController::ViewStandartClick() {
  view_->Hide("DBGridPYX");
  view_->SetMenuEnabled("MenuRed", true);
  view_->SetMenuEnabled("ViewTablica", true);
  view_->SetMenuEnabled("MenuFind", true);
  view_->SetMenuEnabled("ViewStandart", false);
}

void CallbookController::DBGridPYXKeyDown(int key) {
  if (key == kVkEscape) ViewStandartClick();
}

void CallbookController::DBGridPYXTitleClick(std::string_view field) {
  for (const TitleTag& t : kTitleTags) {
    if (t.field == field) {
      table_->SetIndexName(t.tag);
      return;
    }
  }
}

void CallbookController::SetCardEditsWritable(bool writable) {
  for (std::string_view edit : kCardEdits) {
    view_->SetReadOnly(edit, !writable);
    view_->SetTabStop(edit, writable);
    view_->SetColour(edit, writable ? kClWindow : kClBtnFace);
  }
}

void CallbookController::DBNavigatorClick(int button) {
  switch (button) {
    case kNbInsert:
    case kNbEdit:
      SetCardEditsWritable(true);
      view_->SetFocus("DBEditCall");
      SetEditGroups(false);
      view_->SetNavigatorButtons(kPostCancelButtons);
      break;
    case kNbPost:
    case kNbCancel:
      SetCardEditsWritable(false);
      view_->SetFocus("DBNavigator");
      SetEditGroups(true);
      view_->SetNavigatorButtons(kBrowseButtons);
      view_->SetNavigatorWidth(kNavigatorWidth);
      break;
    default: break;
  }
}

}  // namespace pyx
