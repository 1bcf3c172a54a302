// Gauge: a horizontal progress bar from 0 to 100 with the percentage
// written across it.
#pragma once

#include <QColor>
#include <QWidget>

namespace widgets {

class Gauge : public QWidget {
  Q_OBJECT

 public:
  explicit Gauge(QWidget* parent = nullptr);

  int Progress() const { return progress_; }
  // Values outside 0..100 are brought inside.
  void SetProgress(int value);
  void SetForeColor(const QColor& colour);
  void SetBackColor(const QColor& colour);
  QColor ForeColor() const { return fore_; }
  QColor BackColor() const { return back_; }

  QSize sizeHint() const override { return {150, 24}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int progress_ = 0;
  QColor fore_;
  QColor back_;
};

}  // namespace widgets
