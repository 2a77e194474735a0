#include "ui/StatusBar.h"

#include <QMouseEvent>
#include <QPainter>
#include <qdrawutil.h>

#include <algorithm>

#include "runtime/Exception.h"
#include "ui/ByteText.h"

namespace tarvix {

namespace {

constexpr int kTextIndent = 3;

}  // namespace

TStatusBar::TStatusBar(QWidget* parent)
    : QWidget(parent),
      texts_{QStringLiteral("TxSent"), QStringLiteral("RxRec"), QStringLiteral("PortRec"), QStringLiteral("PortTx"),
             QStringLiteral("about")},
      widths_{90, 90, 90, 90, 30} {
  setFixedHeight(kHeight);
  setMouseTracking(true);
}

void TStatusBar::SetPanelText(int panel, std::string_view text) {
  CheckPanel(panel);
  texts_[static_cast<std::size_t>(panel)] = FromBytes(text);
  update();
}

std::string TStatusBar::PanelText(int panel) const {
  CheckPanel(panel);
  return ToBytes(texts_[static_cast<std::size_t>(panel)]);
}

int TStatusBar::PanelWidth(int panel) const {
  CheckPanel(panel);
  return widths_[static_cast<std::size_t>(panel)];
}

void TStatusBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  int left = 0;
  for (std::size_t i = 0; i < texts_.size(); ++i) {
    const bool last = i + 1 == texts_.size();
    const int width = last ? std::max(widths_[i], this->width() - left) : widths_[i];
    const QRect panel(left, 0, width - 2, height());
    qDrawShadePanel(&painter, panel, palette(), true, 1);
    const QRect text = panel.adjusted(kTextIndent, 1, -kTextIndent, -1);
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, texts_[i]);
    left += width;
  }
}

void TStatusBar::mouseMoveEvent(QMouseEvent* event) {
  if (OnMouseMove) OnMouseMove(static_cast<int>(event->position().x()));
  QWidget::mouseMoveEvent(event);
}

void TStatusBar::mousePressEvent(QMouseEvent* event) {
  if (OnMouseDown) OnMouseDown(static_cast<int>(event->position().x()));
  QWidget::mousePressEvent(event);
}

void TStatusBar::CheckPanel(int panel) {
  if (panel < 0 || panel >= kPanels) throw EListError(panel);
}

}  // namespace tarvix
