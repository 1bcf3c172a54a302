// What the controls ask of the user and report to the user: the yes/no
// question before a delete and the error report after a failed action.
// Both can be replaced (tests answer the question themselves and collect
// the reports).
#pragma once

#include <QString>
#include <exception>
#include <functional>

class QWidget;

namespace widgets {

// Answers true when the user agrees.
using ConfirmFunction = std::function<bool(const QString& question)>;
// The toolkit's question box with OK and Cancel.
bool AskConfirmation(QWidget* parent, const QString& question);

using ErrorReporter = std::function<void(QWidget* parent, const QString& message)>;
// Replaces the error report for the whole program; an empty function
// brings back the default (a message box).
void SetErrorReporter(ErrorReporter reporter);
// Reports a failure of an action the user started in a control. A silent
// stop (dbkit::AbortError) is not reported.
void ReportError(QWidget* parent, const std::exception& error);

}  // namespace widgets
