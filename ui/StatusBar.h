// TStatusBar: the window's status bar, five panels left to right along the
// bottom edge; the last panel reaches to the right edge. Mouse moves and
// presses are passed on with X, the position in pixels from the bar's left
// edge, for the window to turn into hints and the about text.
//
// Owned by its Qt parent. Main thread only. Never blocks. PanelText and
// SetPanelText raise EListError for a panel index outside 0..4; OnMouseMove
// and OnMouseDown must not throw.
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <string>
#include <string_view>

namespace tarvix {

class TStatusBar : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kPanels = 5;
  static constexpr int kHeight = 19;

  explicit TStatusBar(QWidget* parent = nullptr);

  // Text is taken byte for byte (one character per byte).
  void SetPanelText(int panel, std::string_view text);
  std::string PanelText(int panel) const;
  int PanelWidth(int panel) const;

  std::function<void(int x)> OnMouseMove;
  std::function<void(int x)> OnMouseDown;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  static void CheckPanel(int panel);

  std::array<QString, kPanels> texts_;
  std::array<int, kPanels> widths_;
};

}  // namespace tarvix
