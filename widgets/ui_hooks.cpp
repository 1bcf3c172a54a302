#include "widgets/ui_hooks.h"

#include <QApplication>
#include <QMessageBox>

#include "dbkit/db_error.h"
#include "widgets/ansi_text.h"

namespace widgets {
namespace {

ErrorReporter& Reporter() {
  static ErrorReporter reporter;
  return reporter;
}

}  // namespace

bool AskConfirmation(QWidget* parent, const QString& question) {
  return QMessageBox::question(parent, QApplication::applicationDisplayName(), question,
                               QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel) == QMessageBox::Ok;
}

void SetErrorReporter(ErrorReporter reporter) { Reporter() = std::move(reporter); }

void ReportError(QWidget* parent, const std::exception& error) {
  if (dynamic_cast<const dbkit::AbortError*>(&error) != nullptr) return;
  // Messages of the data layer are in the window code page.
  const QString message = AnsiToQString(error.what());
  if (Reporter()) {
    Reporter()(parent, message);
    return;
  }
  QMessageBox::critical(parent, QApplication::applicationDisplayName(), message);
}

}  // namespace widgets
