#include "widgets/db_navigator.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QToolButton>

#include "dbkit/data_link.h"
#include "dbkit/data_set.h"
#include "dbkit/data_source.h"
#include "dbkit/db_error.h"
#include "dbkit/db_messages.h"

namespace widgets {
namespace {

const char16_t* const kGlyphs[DbNavigator::kButtonCount] = {
    u"|\u25C0", u"\u25C0", u"\u25B6", u"\u25B6|", u"+", u"\u2212", u"\u25B2", u"\u2713", u"\u2715", u"\u21BB",
};

const char* const kDefaultHints[DbNavigator::kButtonCount] = {
    "First record", "Prior record", "Next record", "Last record",   "Insert record",
    "Delete record", "Edit record", "Post edit",   "Cancel edit",   "Refresh data",
};

}  // namespace

class DbNavigator::Link : public dbkit::DataLink {
 public:
  explicit Link(DbNavigator& nav) : nav_(nav) {}

 protected:
  void ActiveChanged() override { nav_.UpdateButtons(); }
  void DataSetChanged() override { nav_.UpdateButtons(); }
  void EditingChanged() override { nav_.UpdateButtons(); }

 private:
  DbNavigator& nav_;
};

DbNavigator::DbNavigator(QWidget* parent) : QWidget(parent), link_(std::make_unique<Link>(*this)) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (int i = 0; i < kButtonCount; ++i) {
    auto* b = new QToolButton(this);
    b->setText(QString::fromUtf16(kGlyphs[i]));
    b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    b->setFocusPolicy(Qt::NoFocus);
    connect(b, &QToolButton::clicked, this, [this, i] { OnPressed(i); });
    layout->addWidget(b);
    buttons_[static_cast<size_t>(i)] = b;
  }
  for (const char* h : kDefaultHints) hints_ << QString::fromLatin1(h);
  confirm_ = [this](const QString& q) { return AskConfirmation(this, q); };
  ApplyHints();
  UpdateButtons();
}

DbNavigator::~DbNavigator() { link_.reset(); }

void DbNavigator::SetDataSource(dbkit::DataSource* source) {
  link_->SetDataSource(source);
  UpdateButtons();
}

dbkit::DataSource* DbNavigator::DataSource() const { return link_->GetDataSource(); }

void DbNavigator::SetVisibleButtons(uint32_t mask) {
  visible_ = mask & kAllButtons;
  for (int i = 0; i < kButtonCount; ++i) buttons_[static_cast<size_t>(i)]->setVisible((visible_ >> i) & 1u);
}

void DbNavigator::SetHints(const QStringList& hints) {
  hints_ = hints;
  ApplyHints();
}

void DbNavigator::SetShowHint(bool value) {
  show_hint_ = value;
  ApplyHints();
}

void DbNavigator::ApplyHints() {
  for (int i = 0; i < kButtonCount; ++i)
    buttons_[static_cast<size_t>(i)]->setToolTip(show_hint_ && i < hints_.size() ? hints_[i] : QString());
}

void DbNavigator::UpdateButtons() {
  dbkit::DataSet* ds = link_->Active() ? link_->GetDataSet() : nullptr;
  std::array<bool, kButtonCount> on{};
  if (ds != nullptr && isEnabled()) {
    const bool up = !ds->Bof();
    const bool down = !ds->Eof();
    const bool can_modify = ds->CanModify();
    const bool editing = link_->Editing();
    on[kFirst] = on[kPrior] = up;
    on[kNext] = on[kLast] = down;
    on[kInsert] = can_modify;
    on[kDelete] = can_modify && !(ds->Bof() && ds->Eof());
    on[kEdit] = can_modify && !editing;
    on[kPost] = on[kCancel] = can_modify && editing;
    on[kRefresh] = true;
  }
  for (int i = 0; i < kButtonCount; ++i) buttons_[static_cast<size_t>(i)]->setEnabled(on[static_cast<size_t>(i)]);
  emit buttonsUpdated();
}

void DbNavigator::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) UpdateButtons();
  QWidget::changeEvent(event);
}

void DbNavigator::BtnClick(int button) {
  if (button < 0 || button >= kButtonCount) return;
  dbkit::DataSource* source = link_->GetDataSource();
  dbkit::DataSet* ds = source != nullptr ? source->GetDataSet() : nullptr;
  if (ds != nullptr && source->State() != dbkit::DataSetState::kInactive) {
    switch (button) {
      case kFirst: ds->First(); break;
      case kPrior: ds->Prior(); break;
      case kNext: ds->Next(); break;
      case kLast: ds->Last(); break;
      case kInsert: ds->Insert(); break;
      case kEdit: ds->Edit(); break;
      case kPost: ds->Post(); break;
      case kCancel: ds->Cancel(); break;
      case kRefresh: ds->Refresh(); break;
      case kDelete:
        // Nobody is asked to confirm a delete that cannot be made.
        if (!ds->CanModify()) dbkit::RaiseDatabaseError(dbkit::msg::kDataSetReadOnly);
        if (!confirm_delete_ || (confirm_ && confirm_(QString::fromLatin1(dbkit::msg::kDeleteRecordQuestion))))
          ds->Delete();
        break;
      default: break;
    }
  }
  emit clicked(button);
}

void DbNavigator::OnPressed(int button) {
  try {
    BtnClick(button);
  } catch (const std::exception& e) {
    ReportError(this, e);
  }
}

}  // namespace widgets
