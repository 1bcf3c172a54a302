#include "widgets/gauge.h"

#include <QPainter>
#include <algorithm>

namespace widgets {

Gauge::Gauge(QWidget* parent) : QWidget(parent), fore_(Qt::blue), back_(palette().color(QPalette::Button)) {}

void Gauge::SetProgress(int value) {
  value = std::clamp(value, 0, 100);
  if (value == progress_) return;
  progress_ = value;
  update();
}

void Gauge::SetForeColor(const QColor& colour) {
  fore_ = colour;
  update();
}

void Gauge::SetBackColor(const QColor& colour) {
  back_ = colour;
  update();
}

void Gauge::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect inner = rect().adjusted(1, 1, -1, -1);
  p.fillRect(inner, back_);
  const int filled = inner.width() * progress_ / 100;
  const QRect bar(inner.left(), inner.top(), filled, inner.height());
  p.fillRect(bar, fore_);
  p.setPen(palette().color(QPalette::Mid));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  // The text reads in the bar's colour over the background and in the
  // background's colour over the bar.
  const QString text = QString::number(progress_) + QLatin1Char('%');
  p.setPen(fore_);
  p.setClipRect(inner.adjusted(filled, 0, 0, 0));
  p.drawText(inner, Qt::AlignCenter, text);
  p.setPen(back_);
  p.setClipRect(bar);
  p.drawText(inner, Qt::AlignCenter, text);
}

}  // namespace widgets
