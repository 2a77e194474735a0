#include "ui/FormStyle.h"

#include <QLabel>
#include <algorithm>

namespace tarvix {

QFont FormFont() {
  QFont font(QStringLiteral("MS Sans Serif"), 8);
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Arial"), QStringLiteral("Liberation Sans"),
                    QStringLiteral("DejaVu Sans Condensed")});
  font.setStyleHint(QFont::SansSerif);
  return font;
}

QLabel* MakeLabel(QWidget* parent, const char* caption, QRect geometry) {
  auto* label = new QLabel(QString::fromLatin1(caption), parent);
  label->setGeometry(geometry);
  label->resize(std::max(geometry.width(), label->sizeHint().width()), geometry.height());
  return label;
}

}  // namespace tarvix
