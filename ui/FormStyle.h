// What the relay's window and dialog share of their descriptions: the face
// they are laid out for, and labels that size themselves to their text.
// Main thread only (they create widgets and fonts).
#pragma once

#include <QFont>
#include <QRect>

class QLabel;
class QWidget;

namespace tarvix {

// "MS Sans Serif" 8 point; where it is missing, faces of about its width
// come first, since the controls are placed for it.
QFont FormFont();

// A label at geometry's place, at least as wide as geometry and wider when
// its text needs it, as the descriptions' self-sizing labels are.
QLabel* MakeLabel(QWidget* parent, const char* caption, QRect geometry);

}  // namespace tarvix
