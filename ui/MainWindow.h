// TForm1: the relay's one window. It shows the debug log, the queue grid and
// the status bar, carries the few settings the operator can change, and owns
// the serial port sp and the UDP components UDPS and UDPC.
//
// Owned by the program, which creates it on the main thread after the
// QApplication. Main thread only: every handler, hook and IRelayView call.
//
// Construction loads the components as the window description has them and
// activates UDPC, then UDPS; an activation error is shown in the standard
// error display and leaves that component inactive. Before the activations
// the window makes its debug log the error log (ErrorBox.h); destruction
// clears it. The window's own handlers show what they raise in the standard
// error display (ShowCurrentException) and end; the window keeps running.
//
// The debug log keeps its newest 100,000 lines. In headless mode
// (Headless.h) every line added through AddLogLine is echoed to standard
// output.
// UDPSUDPRead and spTriggerAvail let exceptions through to the component
// that raised the event.
#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/Relay.h"
#include "relay/RelayEngine.h"
#include "relay/RelayView.h"
#include "serial/SioComPort.h"

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

class TForm1 : public QWidget, public IRelayView {
  Q_OBJECT

 public:
  // Client size at start; the width never changes, the height never drops
  // below kMinClientHeight.
  static constexpr int kClientWidth = 403;
  static constexpr int kStartClientHeight = 271;
  static constexpr int kMinClientHeight = 223;

  // listenIP: the local IPv4 address the UDP server binds (port 3776).
  explicit TForm1(std::string_view listenIP = "0.0.0.0", QWidget* parent = nullptr);
  ~TForm1() override;

  // Non-visual components.
  TSioComPort sp;
  TNetUDPServer UDPS;
  TNetUDPClient UDPC;

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

  // Serial port number used when the port is (re)opened; follows ComSpin.
  std::uint8_t ComNumber = 0;

  // The relay's state and logic: counters, trace flags (mirrors of the check
  // boxes), the device table, the queues and the reply endpoint. The read,
  // data and "stoploop" handlers delegate to it.
  TRelay Relay{*this};
  // The relay's start-up and close over the components above; the creation
  // and close steps drive it. Owns the scheduler thread.
  TRelayEngine Engine{Relay, &sp, UDPC, UDPS};

  // The window's hint text: empty until the mouse has been over a band of
  // the status bar. The status bar shows it as its tool tip.
  const std::string& Hint() const noexcept { return hint_; }

  // IRelayView. Texts are taken byte for byte (one character per byte).
  void AddLogLine(std::string_view line) override;
  void SetGridCell(int column, int row, std::string_view text) override;
  void SetPanelText(int panel, std::string_view text) override;

  // Handlers of the window and its controls.
  void ComSpinChange();
  void ComPortSetBtnClick();
  void SetServerClick();
  void TimeoutspinChange();
  void TxTraceEnableCheckClick();
  void RxTraceEnableCheckClick();
  void TracePortEnablecheckClick();
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
  std::function<void()> OnFormCreate;
  std::function<void()> OnFormClose;

  // Request intake and the reply receiver. What they raise goes back to the
  // component that raised the event (the UDP server drops it, the serial
  // port shows it).
  void UDPSUDPRead(TNetUDPServer& Sender, TMemoryStream& AData, TNetSocketHandle& ABinding);
  void spTriggerAvail(TSioComPort& CP, std::uint16_t Count);
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
  void LoadComponents(std::string_view listenIP);

  std::string hint_;
  bool formCreated_ = false;
};

}  // namespace tarvix
