// TForm1: the relay's one window, a face of the relay host it owns. It shows
// the debug log, the queue grid and the status bar, formatting what the
// relay tells it as the window's texts, and carries the few settings the
// operator can change.
//
// Owned by the program, which creates it on the main thread after the
// QApplication. Main thread only: every handler, hook and observer call.
//
// Construction builds the controls, adds the window as the host's observer
// and has the host load its components (sp, then UDPC and UDPS activated);
// an activation error is shown in the standard error display and leaves
// that component inactive. The window's own handlers show what they raise in
// the standard error display (ShowCurrentException) and end; the window
// keeps running. The debug log keeps its newest 100,000 lines.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "relay/RelayHost.h"
#include "relay/RelayObserver.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

namespace tarvix {

class TQueueGrid;
class TSpinEdit;
class TStatusBar;

class TForm1 : public QWidget, public IRelayObserver {
  Q_OBJECT

 public:
  // Client size at start; the width never changes, the height never drops
  // below kMinClientHeight.
  static constexpr int kClientWidth = 403;
  static constexpr int kStartClientHeight = 271;
  static constexpr int kMinClientHeight = 223;

  explicit TForm1(TRelayConfig config = {}, QWidget* parent = nullptr);
  ~TForm1() override;

  // The relay: its components, state, engine and creation sequence.
  TRelayHost Host;

  // Non-visual components, the host's.
  TSioComPort& sp = Host.sp;
  TNetUDPServer& UDPS = Host.UDPS;
  TNetUDPClient& UDPC = Host.UDPC;

  // Controls, owned by the window through Qt's parent chain.
  QGroupBox* GroupBox1 = nullptr;
  TSpinEdit* ComSpin = nullptr;
  QPushButton* ComPortSetBtn = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QLabel* Label1 = nullptr;
  TSpinEdit* ServerPortSpin = nullptr;
  QPushButton* SetServer = nullptr;
  QGroupBox* GroupBox3 = nullptr;
  TSpinEdit* Timeoutspin = nullptr;
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;
  QCheckBox* TxTraceEnableCheck = nullptr;
  QCheckBox* RxTraceEnableCheck = nullptr;
  QCheckBox* TracePortEnablecheck = nullptr;
  TSpinEdit* FontSizeSpin = nullptr;
  QLabel* stoploop = nullptr;
  QPlainTextEdit* DebugLog = nullptr;
  QWidget* TabSheet2 = nullptr;
  TQueueGrid* sg = nullptr;
  TStatusBar* StatusBar1 = nullptr;

  // Serial port number the "set" opens; follows ComSpin, and the host's
  // number when that changes.
  std::uint8_t ComNumber = 1;

  // The relay's state, read only: counters, trace flags (the check boxes
  // set them through the host), the device table and the queues.
  const TRelay& Relay = Host.Relay;

  // The window's hint text: empty until the mouse has been over a band of
  // the status bar. The status bar shows it as its tool tip.
  const std::string& Hint() const noexcept { return hint_; }

  // Adds a line to the relay's log (and so to the debug log).
  void AddLogLine(std::string_view line);
  // Texts are taken byte for byte (one character per byte).
  void SetGridCell(int column, int row, std::string_view text);
  void SetPanelText(int panel, std::string_view text);

  // IRelayObserver: the debug log, the panels "TxSent N", "RxRec N",
  // "PortRec N", "PortTx N", and the grid row of each endpoint (row index+1:
  // index, IP, port, ID, queue size, packets, "N").
  void LogLine(TLogLevel level, std::string_view line) override;
  void CounterChanged(TCounter counter, std::int32_t value) override;
  void EndpointChanged(const TEndpointRow& row, TRowChange change) override;
  // The "timeout" spin edit and the trace check boxes follow the host.
  void SettingsChanged(const TRunSettings& settings) override;

  // Handlers of the window and its controls.
  void ComSpinChange();
  void ComPortSetBtnClick();
  void SetServerClick();
  void TimeoutspinChange();
  void TxTraceEnableCheckClick();
  void RxTraceEnableCheckClick();
  void TracePortEnablecheckClick();
  // The three trace check boxes, as the host's trace flags.
  void CopyTraceChecks();
  void FontSizeSpinChange();
  void DebugLogDblClick();
  void StatusBar1MouseMove(int X);
  void StatusBar1MouseDown(int X);
  void FormResize();

  // The creation and close steps belong to the program, which sets the two
  // hooks. FormCreate runs its hook once: called by the program before the
  // first show, or else from that first show. Both show what their hook
  // raises.
  void FormCreate();
  void FormClose();
  // Whether the creation step is running (it may wait in the port dialog).
  bool Creating() const noexcept { return creating_; }
  std::function<void()> OnFormCreate;
  std::function<void()> OnFormClose;

  // The "stoploop" label's click: frees the bus.
  void stoploopClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateControls();
  void ConnectHandlers();

  std::string hint_;
  bool formCreated_ = false;
  bool creating_ = false;
  bool following_ = false;  // the controls are being set to the host's settings
  bool settingsTold_ = false;  // the start-up's settings came (the port spin starts at 1 whatever "-c" said)
};

}  // namespace tarvix
