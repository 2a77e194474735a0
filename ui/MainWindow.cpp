#include "ui/MainWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <algorithm>
#include <iterator>

#include "runtime/Checked.h"
#include "runtime/ErrorDisplay.h"
#include "ui/ByteText.h"
#include "ui/FormStyle.h"
#include "ui/QueueGrid.h"
#include "ui/SpinEdit.h"
#include "ui/StatusBar.h"

namespace tarvix {

namespace {

constexpr int kMinLogPointSize = 1;
constexpr int kMaxLogPointSize = 144;
// The log drops its oldest lines past this, so a relay that runs for months
// keeps a bounded memory.
constexpr int kMaxLogLines = 100000;

// The status bar's hint bands; both ends are open, so the borders between
// them leave the hint as it was.
struct THintBand {
  int Low;
  int High;
  const char* Text;
};

constexpr THintBand kHintBands[] = {
    {0, 90, "number of packets sent to the serial port"},
    {90, 180, "number of packets received from the serial port"},
    {180, 270, "number of packets received from the UDP port"},
    {270, 360, "number of packets sent to the UDP port"},
    {360, 410, "writes the about to the log"},
};

// Clicks in this range of the status bar write the about text.
constexpr int kAboutLow = 360;
constexpr int kAboutHigh = 400;

TSpinEdit* MakeSpinEdit(QWidget* parent, QRect geometry, std::int32_t value, std::int32_t minValue,
                        std::int32_t maxValue, std::int32_t increment) {
  auto* spin = new TSpinEdit(parent);
  spin->setGeometry(geometry);
  spin->SetMinValue(minValue);
  spin->SetMaxValue(maxValue);
  spin->SetIncrement(increment);
  spin->SetValue(value);
  return spin;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* caption, QRect geometry) {
  auto* check = new QCheckBox(QString::fromLatin1(caption), parent);
  check->setGeometry(geometry);
  check->setChecked(true);
  return check;
}

}  // namespace

TForm1::TForm1(TRelayConfig config, QWidget* parent) : QWidget(parent, Qt::Window), Host(std::move(config)) {
  CreateControls();
  ConnectHandlers();
  // The trace check boxes start from the configuration (--traces).
  TxTraceEnableCheck->setChecked(Host.Config().TxTrace);
  RxTraceEnableCheck->setChecked(Host.Config().RxTrace);
  TracePortEnablecheck->setChecked(Host.Config().TracePort);
  Host.AddObserver(*this);
  // Loading ends with the components' activation; an error there (port 3776
  // taken by another program) is shown like any other error of the window's
  // creation, and the window still comes up so the operator can "set" later.
  Host.Load();
}

TForm1::~TForm1() { Host.RemoveObserver(*this); }

void TForm1::CreateControls() {
  setWindowTitle(QStringLiteral("Tarvix RS485 Server V1.1"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(FormFont());
  QPalette face = palette();
  face.setColor(QPalette::Window, face.color(QPalette::Button));
  setPalette(face);
  setAutoFillBackground(true);
  setMinimumSize(kClientWidth, kMinClientHeight);
  setMaximumWidth(kClientWidth);
  resize(kClientWidth, kStartClientHeight);
  move(235, 105);

  GroupBox1 = new QGroupBox(QStringLiteral("COMPort"), this);
  GroupBox1->setGeometry(0, 0, 113, 49);
  ComSpin = MakeSpinEdit(GroupBox1, {8, 16, 49, 22}, 1, 0, 0, 1);
  ComPortSetBtn = new QPushButton(QStringLiteral("set"), GroupBox1);
  ComPortSetBtn->setGeometry(64, 16, 41, 22);

  GroupBox2 = new QGroupBox(QStringLiteral("TarvixServer"), this);
  GroupBox2->setGeometry(120, 0, 193, 49);
  Label1 = MakeLabel(GroupBox2, "Serverport", {8, 24, 49, 13});
  ServerPortSpin = MakeSpinEdit(GroupBox2, {64, 16, 57, 22}, 3776, 0, 0, 1);
  SetServer = new QPushButton(QStringLiteral("set"), GroupBox2);
  SetServer->setGeometry(128, 16, 51, 22);

  GroupBox3 = new QGroupBox(QStringLiteral("timeout"), this);
  GroupBox3->setGeometry(320, 0, 81, 49);
  Timeoutspin = MakeSpinEdit(GroupBox3, {8, 16, 65, 22}, 1000, 0, 10000, 100);

  PageControl1 = new QTabWidget(this);
  PageControl1->setGeometry(2, 48, 399, 201);
  TabSheet1 = new QWidget;
  PageControl1->addTab(TabSheet1, QStringLiteral("DebugLog"));
  TxTraceEnableCheck = MakeCheckBox(TabSheet1, "TxTrace", {0, 0, 65, 17});
  RxTraceEnableCheck = MakeCheckBox(TabSheet1, "RxTrace", {88, 0, 65, 17});
  TracePortEnablecheck = MakeCheckBox(TabSheet1, "TracePort", {176, 0, 73, 17});
  FontSizeSpin = MakeSpinEdit(TabSheet1, {272, 0, 41, 22}, 9, 6, 14, 1);
  FontSizeSpin->setToolTip(QStringLiteral("fontsize"));
  stoploop = MakeLabel(TabSheet1, "stoploop", {344, 0, 40, 13});
  DebugLog = new QPlainTextEdit(TabSheet1);
  DebugLog->setGeometry(0, 24, 385, 145);
  QFont logFont(QStringLiteral("Courier New"), 9);
  logFont.setStyleHint(QFont::TypeWriter);
  logFont.setFixedPitch(true);
  DebugLog->setFont(logFont);
  DebugLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  DebugLog->setMaximumBlockCount(kMaxLogLines);
  DebugLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  DebugLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  TabSheet2 = new QWidget;
  PageControl1->addTab(TabSheet2, QStringLiteral("Queue"));
  sg = new TQueueGrid(TabSheet2);
  sg->setGeometry(0, 0, 385, 169);
  PageControl1->setCurrentIndex(0);

  StatusBar1 = new TStatusBar(this);
  StatusBar1->setGeometry(0, height() - TStatusBar::kHeight, width(), TStatusBar::kHeight);
}

void TForm1::ConnectHandlers() {
  ComSpin->OnChange = [this] { ComSpinChange(); };
  Timeoutspin->OnChange = [this] { TimeoutspinChange(); };
  FontSizeSpin->OnChange = [this] { FontSizeSpinChange(); };
  connect(ComPortSetBtn, &QPushButton::clicked, this, &TForm1::ComPortSetBtnClick);
  connect(SetServer, &QPushButton::clicked, this, &TForm1::SetServerClick);
  // toggled, not clicked: a check box set by the program runs its handler too.
  connect(TxTraceEnableCheck, &QCheckBox::toggled, this, &TForm1::TxTraceEnableCheckClick);
  connect(RxTraceEnableCheck, &QCheckBox::toggled, this, &TForm1::RxTraceEnableCheckClick);
  connect(TracePortEnablecheck, &QCheckBox::toggled, this, &TForm1::TracePortEnablecheckClick);
  StatusBar1->OnMouseMove = [this](int X) { StatusBar1MouseMove(X); };
  StatusBar1->OnMouseDown = [this](int X) { StatusBar1MouseDown(X); };
  DebugLog->viewport()->installEventFilter(this);
  stoploop->installEventFilter(this);
}

void TForm1::AddLogLine(std::string_view line) { Host.Log(TLogLevel::Event, line); }

void TForm1::LogLine(TLogLevel /*level*/, std::string_view line) { DebugLog->appendPlainText(FromBytes(line)); }

void TForm1::CounterChanged(TCounter counter, std::int32_t value) {
  static constexpr const char* kPanelNames[] = {"TxSent ", "RxRec ", "PortRec ", "PortTx "};
  const int panel = static_cast<int>(counter);
  SetPanelText(panel, kPanelNames[panel] + std::to_string(value));
}

void TForm1::EndpointChanged(const TEndpointRow& row, TRowChange change) {
  const int r = row.Index + 1;
  switch (change) {
    case TRowChange::Added:
      SetGridCell(0, r, std::to_string(row.Index));
      SetGridCell(1, r, row.IP);
      SetGridCell(2, r, std::to_string(row.Port));
      SetGridCell(3, r, std::to_string(row.Id));
      SetGridCell(4, r, std::to_string(row.Queued));
      SetGridCell(5, r, std::to_string(row.Packets));
      SetGridCell(6, r, "N");
      break;
    case TRowChange::Queued:
      SetGridCell(4, r, std::to_string(row.Queued));
      break;
    case TRowChange::Packets:
      SetGridCell(5, r, std::to_string(row.Packets));
      break;
  }
}

void TForm1::SetGridCell(int column, int row, std::string_view text) { sg->SetCell(column, row, text); }

void TForm1::SetPanelText(int panel, std::string_view text) { StatusBar1->SetPanelText(panel, text); }

void TForm1::ComSpinChange() {
  Guarded([this] { ComNumber = RangeChecked<std::uint8_t>(ComSpin->Value()); });
}

void TForm1::ComPortSetBtnClick() {
  Guarded([this] { Host.SwitchPort(ComNumber); });
}

void TForm1::SetServerClick() {
  Guarded([this] { Host.RestartServer(); });
}

void TForm1::TimeoutspinChange() {
  if (following_) return;
  Guarded([this] { Host.SetReplyTimeout(Timeoutspin->Value()); });
}

void TForm1::TxTraceEnableCheckClick() { CopyTraceChecks(); }

void TForm1::RxTraceEnableCheckClick() { CopyTraceChecks(); }

void TForm1::TracePortEnablecheckClick() { CopyTraceChecks(); }

void TForm1::CopyTraceChecks() {
  if (following_) return;
  Guarded([this] {
    Host.SetTraces({TxTraceEnableCheck->isChecked(), RxTraceEnableCheck->isChecked(),
                    TracePortEnablecheck->isChecked()});
  });
}

void TForm1::SettingsChanged(const TRunSettings& settings) {
  // What another face (or the start-up) changed shows here too; the
  // controls set meanwhile do not command the host again.
  following_ = true;
  // The port spin shows a port changed later (the control socket's "port"),
  // not the start's "-c" number.
  if (settingsTold_ && settings.Com != ComNumber) ComSpin->SetValue(settings.Com);
  settingsTold_ = true;
  ComNumber = settings.Com;
  if (Timeoutspin->Value() != settings.ReplyTimeout) Timeoutspin->SetValue(settings.ReplyTimeout);
  TxTraceEnableCheck->setChecked(settings.Traces.Tx);
  RxTraceEnableCheck->setChecked(settings.Traces.Rx);
  TracePortEnablecheck->setChecked(settings.Traces.Port);
  following_ = false;
}

// Sizes the font cannot take (a transient value while the operator types)
// are brought into what the log can draw.
void TForm1::FontSizeSpinChange() {
  Guarded([this] {
    QFont logFont = DebugLog->font();
    logFont.setPointSize(std::clamp(FontSizeSpin->Value(), kMinLogPointSize, kMaxLogPointSize));
    DebugLog->setFont(logFont);
  });
}

void TForm1::DebugLogDblClick() {
  Guarded([this] { DebugLog->clear(); });
}

void TForm1::StatusBar1MouseMove(int X) {
  Guarded([this, X] {
    const auto band = std::find_if(std::begin(kHintBands), std::end(kHintBands),
                                   [X](const THintBand& b) { return X > b.Low && X < b.High; });
    if (band == std::end(kHintBands)) return;
    hint_ = band->Text;
    StatusBar1->setToolTip(QString::fromLatin1(band->Text));
  });
}

void TForm1::StatusBar1MouseDown(int X) {
  Guarded([this, X] {
    if (X <= kAboutLow || X >= kAboutHigh) return;
    AddLogLine("This Application waits for UDP messages to appear on ");
    AddLogLine("port " + std::to_string(ServerPortSpin->Value()) + ". The assumed format");
    AddLogLine("is : IP(string)+ chr(0)+ port as low/highbyte+chr(0)+serialmsg");
    AddLogLine("The reply is sent to there, also prefixed with IP and port");
    AddLogLine("The serialport can be choosen from the commandline -cN ");
    AddLogLine("Contact: support@tarvix.example");
  });
}

void TForm1::FormResize() {
  Guarded([this] {
    if (width() != kClientWidth) resize(kClientWidth, height());
    if (height() <= kMinClientHeight) resize(width(), kMinClientHeight);
    PageControl1->resize(PageControl1->width(), height() - 70);
    DebugLog->resize(DebugLog->width(), height() - 125);
    sg->resize(sg->width(), height() - 100);
  });
}

void TForm1::FormCreate() {
  if (formCreated_) return;
  formCreated_ = true;
  creating_ = true;
  Guarded([this] {
    if (OnFormCreate) OnFormCreate();
  });
  creating_ = false;
}

void TForm1::FormClose() {
  Guarded([this] {
    if (OnFormClose) OnFormClose();
  });
}

void TForm1::stoploopClick() { Host.StopLoop(); }

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == DebugLog->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    DebugLogDblClick();
    return true;
  }
  if (watched == stoploop && event->type() == QEvent::MouseButtonRelease) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton && stoploop->rect().contains(mouse->position().toPoint())) stoploopClick();
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  StatusBar1->setGeometry(0, height() - TStatusBar::kHeight, width(), TStatusBar::kHeight);
  FormResize();
}

void TForm1::showEvent(QShowEvent* event) {
  FormCreate();
  QWidget::showEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

}  // namespace tarvix
