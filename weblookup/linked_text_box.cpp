#include "weblookup/linked_text_box.h"

namespace callscope {

LinkedTextBox::LinkedTextBox(const QString& text, QWidget* parent) : QLineEdit(text, parent) {
  connect(this, &QLineEdit::textChanged, this, &LinkedTextBox::Change);
  connect(&link_, &DdeClientLink::DataArrived, this, &LinkedTextBox::ReceivePush);
}

void LinkedTextBox::ReceivePush(const QString& value) {
  if (value == text()) {
    emit Change();
  } else {
    setText(value);  // raises Change through textChanged
  }
}

}  // namespace callscope
