#include "widgets/db_edit.h"

#include <QApplication>
#include <QKeyEvent>
#include <QValidator>

#include "dbkit/data_set.h"
#include "dbkit/data_source.h"
#include "dbkit/field.h"
#include "dbkit/field_data_link.h"
#include "widgets/ansi_text.h"
#include "widgets/ui_hooks.h"

namespace widgets {
namespace {

// Turns typed text into the edit's letter case and refuses characters the
// window code page cannot hold (they could not be stored).
class CaseValidator : public QValidator {
 public:
  CaseValidator(DbEdit::CharCase char_case, QObject* parent) : QValidator(parent), case_(char_case) {}

  State validate(QString& input, int& /*pos*/) const override {
    if (case_ == DbEdit::CharCase::kUpper) input = input.toUpper();
    if (case_ == DbEdit::CharCase::kLower) input = input.toLower();
    for (QChar c : input)
      if (!IsAnsiChar(c)) return Invalid;
    return Acceptable;
  }

 private:
  DbEdit::CharCase case_;
};

bool ChangesText(QKeyEvent* event) {
  if (event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Cut) ||
      event->matches(QKeySequence::Undo) || event->matches(QKeySequence::Redo) ||
      event->matches(QKeySequence::Delete) || event->matches(QKeySequence::DeleteEndOfWord) ||
      event->matches(QKeySequence::DeleteStartOfWord) || event->matches(QKeySequence::DeleteEndOfLine))
    return true;
  if (event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete) return true;
  const QString text = event->text();
  return !text.isEmpty() && text.at(0).isPrint();
}

}  // namespace

DbEdit::DbEdit(QWidget* parent) : QLineEdit(parent), link_(std::make_unique<dbkit::FieldDataLink>()) {
  setValidator(new CaseValidator(char_case_, this));
  link_->OnDataChange = [this] { ShowField(); };
  link_->OnEditingChange = [this] { UpdateEditable(); };
  link_->OnActiveChange = [this] { UpdateEditable(); };
  link_->OnUpdateData = [this] { StoreText(); };
  link_->OnFocusControl = [this] { setFocus(); };
  connect(this, &QLineEdit::textEdited, this, [this] { OnTextEdited(); });
  UpdateEditable();
}

DbEdit::~DbEdit() {
  // The link goes first so no notification reaches a half-destroyed edit.
  link_.reset();
}

void DbEdit::SetDataSource(dbkit::DataSource* source) {
  link_->SetDataSource(source);
  UpdateEditable();
  ShowField();
}

dbkit::DataSource* DbEdit::DataSource() const { return link_->GetDataSource(); }

void DbEdit::SetDataField(std::string name) {
  link_->SetFieldName(std::move(name));
  UpdateEditable();
}

const std::string& DbEdit::DataField() const { return link_->FieldName(); }

dbkit::Field* DbEdit::Field() const { return link_->GetField(); }

void DbEdit::SetReadOnly(bool value) {
  read_only_ = value;
  link_->SetReadOnly(value);
  UpdateEditable();
}

void DbEdit::SetCharCase(CharCase value) {
  char_case_ = value;
  setValidator(new CaseValidator(value, this));
  ShowField();
}

void DbEdit::SetTabStop(bool value) { setFocusPolicy(value ? Qt::StrongFocus : Qt::ClickFocus); }

bool DbEdit::TabStop() const { return (focusPolicy() & Qt::TabFocus) != 0; }

void DbEdit::SetSystemColour(uint32_t code) {
  const QPalette app = QApplication::palette(this);
  if (code == kWindowColour) SetBackground(app.color(QPalette::Base));
  if (code == kButtonFaceColour) SetBackground(app.color(QPalette::Button));
}

void DbEdit::SetBackground(const QColor& colour) {
  QPalette p = palette();
  p.setColor(QPalette::Base, colour);
  setPalette(p);
}

QColor DbEdit::Background() const { return palette().color(QPalette::Base); }

void DbEdit::UpdateEditable() {
  const dbkit::Field* f = link_->GetField();
  QLineEdit::setReadOnly(read_only_ || !link_->CanModify());
  setMaxLength(f != nullptr && f->DataType() == dbkit::FieldType::kString && f->Size() > 0 ? f->Size() : 32767);
}

void DbEdit::ShowField() {
  QString text;
  if (const dbkit::Field* f = link_->GetField()) {
    try {
      text = AnsiToQString(link_->FieldEditing() ? f->AsString() : f->DisplayText());
    } catch (const std::exception&) {
      text.clear();  // a value the dataset cannot give shows as empty
    }
  }
  // The edit shows its letter case, as the text would read if typed.
  if (char_case_ == CharCase::kUpper) text = text.toUpper();
  if (char_case_ == CharCase::kLower) text = text.toLower();
  UpdateEditable();
  // Setting the same text again would move the cursor under the user's
  // fingers (an edit starting while a key is typed).
  if (text != this->text()) {
    showing_ = true;
    setText(text);
    showing_ = false;
  }
}

void DbEdit::StoreText() {
  if (dbkit::Field* f = link_->GetField()) f->SetAsString(QStringToAnsi(text()));
}

bool DbEdit::StoreNow() {
  try {
    link_->UpdateRecord();
    return true;
  } catch (const std::exception& e) {
    ReportError(this, e);
    selectAll();
    return false;
  }
}

void DbEdit::OnTextEdited() {
  if (showing_) return;
  if (!link_->Editing()) {
    // Text that arrived without a key press (a paste from the menu).
    const QString typed = text();
    bool editing = false;
    try {
      editing = link_->Edit();
    } catch (const std::exception& e) {
      ReportError(this, e);
    }
    if (!editing) {
      ShowField();
      return;
    }
    setText(typed);
  }
  link_->Modified();
}

void DbEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && link_->IsModified()) {
    link_->Reset();
    selectAll();
    event->accept();
    return;
  }
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && link_->IsModified()) {
    StoreNow();
    QLineEdit::keyPressEvent(event);
    return;
  }
  if (ChangesText(event) && !read_only_) {
    // The dataset must be editing before the key changes the text.
    bool editing = false;
    try {
      editing = link_->Edit() && link_->FieldEditing();
    } catch (const std::exception& e) {
      ReportError(this, e);
    }
    if (!editing) {
      QApplication::beep();
      event->accept();
      return;
    }
  }
  QLineEdit::keyPressEvent(event);
}

void DbEdit::focusOutEvent(QFocusEvent* event) {
  if (link_->IsModified() && !StoreNow()) {
    QLineEdit::focusOutEvent(event);
    setFocus();
    return;
  }
  QLineEdit::focusOutEvent(event);
}

}  // namespace widgets
