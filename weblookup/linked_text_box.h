// A one-line text box that can be hot-linked to an item of a DDE-style
// server (see dde_link.h), like the linked text boxes of the host logging
// program's own toolkit.
#pragma once

#include <QLineEdit>
#include <QString>

#include "weblookup/dde_link.h"

namespace callscope {

class LinkedTextBox : public QLineEdit {
  Q_OBJECT
 public:
  explicit LinkedTextBox(const QString& text, QWidget* parent = nullptr);

  // Set up in this order: item, topic ("Application|Topic"), mode.
  // SetLinkMode throws DdeLinkError when the server does not answer.
  void SetLinkItem(const QString& item) { link_.SetLinkItem(item); }
  void SetLinkTopic(const QString& topic) { link_.SetLinkTopic(topic); }
  void SetLinkMode(LinkMode mode) { link_.SetLinkMode(mode); }
  const DdeClientLink& Link() const { return link_; }

 signals:
  // The box's change event: raised when the operator edits the text and on
  // every value the server pushes, even one equal to the text already
  // shown, since the server pushed it for a reason (a second "LOOKUP" asks
  // for a second lookup).
  void Change();

 private:
  void ReceivePush(const QString& value);

  DdeClientLink link_;
};

}  // namespace callscope
