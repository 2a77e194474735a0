#include "relay/RelayHost.h"

#include <string>

#include "runtime/ErrorDisplay.h"
#include "serial/DevicePath.h"

namespace tarvix {

TRelayHost::TRelayHost(TRelayConfig config) : config_(std::move(config)) {
  observers_.Add(tail_);
  // From here on errors that cannot be shown otherwise are written to the log.
  SetErrorLog([this](std::string_view line) { Log(TLogLevel::Error, line); });
}

TRelayHost::~TRelayHost() {
  SetErrorLog({});
  if (notes_) observers_.Remove(*notes_);
  sp.OnOpen = sp.OnDeviceLost = sp.OnDeviceBack = nullptr;
  sp.OnTriggerAvail = nullptr;
  UDPS.OnUDPRead = nullptr;
  UDPS.OnOversize = nullptr;
}

void TRelayHost::Load() {
  StartCapture();
  sp.BeginLoading();
  UDPS.BeginLoading();
  UDPC.BeginLoading();

  sp.SetBaud(config_.Baud);
  sp.SetAutoOpen(false);
  sp.SetRS485Mode(config_.RS485, config_.RS485Before, config_.RS485After);
  // With the event-driven scheduler the port takes the short road: the
  // dispatcher thread waits on the device itself, and a write goes out on
  // the main thread while nothing is queued before it. Under a main loop of
  // ours (the daemon's) that loop waits on the device and the server's
  // sockets itself, and no worker thread is woken between them.
  sp.SetDirectIo(config_.Turnaround.has_value());
  UDPS.ReadOnMainLoop = config_.Turnaround.has_value();
  sp.OnTriggerAvail = [this](TSioComPort& CP, std::uint16_t Count) { spTriggerAvail(CP, Count); };
  // Whatever was half received before an open is dropped, so it cannot be
  // spliced into the next reply.
  // Every open ends a time away: the frame on the bus goes out again.
  sp.OnOpen = [this](TSioComPort& cp) {
    Relay.ResetReceiver();
    PortBack();
    // Without a window: the start-up open is told by the first line, each
    // later one by a line of its own. The window's log keeps its own lines.
    if (settled_ && config_.Headless) ReportLowLatency();
    if (capture_) {
      const std::uint16_t com = cp.ComNumber();
      capture_->SetBusName(PortDisplayName(com) + " (" + DevicePathForPort(com) + ") " + std::to_string(cp.Baud()) +
                           " 8N1");
      Note("serial port opened: " + capture_->BusName());
    }
  };
  // From the first failure nothing reaches the line: the bus is held, not
  // spent on writes that fail and time-outs that count for nothing.
  sp.OnDeviceTrouble = [](TSioComPort&, bool failing) {
    if (failing) PortGone();
    else PortBack();
  };
  sp.OnDeviceLost = [this](TSioComPort& cp) { ReportLoss(cp.ComNumber()); };
  sp.OnDeviceBack = [this](TSioComPort& cp) {
    Log(TLogLevel::Event, "COM" + std::to_string(cp.ComNumber()) + ": device back");
    Note("serial device back");
  };

  TNetSocketHandle& binding = UDPS.Bindings().Add();
  binding.IP = config_.Listen;
  binding.Port = serverPort_ = config_.ListenPort;
  UDPS.SetDefaultPort(0);
  UDPS.OnUDPRead = [this](TNetUDPServer& Sender, TMemoryStream& AData, TNetSocketHandle& ABinding) {
    UDPSUDPRead(Sender, AData, ABinding);
  };
  UDPS.OnOversize = [this](TNetUDPServer&, TNetSocketHandle& ABinding, std::uint32_t count) {
    Relay.RefuseOversize(ABinding.SourceIP, count);
  };
  UDPS.SetActive(true);

  UDPC.SetPort(0);
  UDPC.SetActive(true);

  // Loading ends with the activations; one that fails (port 3776 taken by
  // another program) is shown and that component stays inactive.
  Guarded([this] { sp.Loaded(); });
  Guarded([this] { UDPC.Loaded(); });
  Guarded([this] { UDPS.Loaded(); });
}

void TRelayHost::Create(const TWidgetSteps& widgets) {
  for (const std::string& error : config_.Errors) ShowError(error);
  comNumber_ = 1;
  if (config_.ComError) std::rethrow_exception(config_.ComError);
  comNumber_ = config_.ComNumber;

  sp.SetComNumber(comNumber_);
  // A port that is missing now (an adapter not yet plugged in) must not
  // leave a relay that can never work: show it and go on with it closed;
  // unattended, it is tried again every second.
  // A malformed --rs485 was shown among the option errors: the port stays
  // closed rather than open without the mode asked for.
  if (!config_.RS485Error) {
    Guarded([this] {
      if (config_.Headless)
        sp.OpenOrRetry();
      else
        sp.SetOpen(true);
    });
  }

  Relay.ZeroCounters();
  if (widgets.CopyTraceChecks) {
    widgets.CopyTraceChecks();
  } else {
    SetTraces({config_.TxTrace, config_.RxTrace, config_.TracePort});
  }
  if (widgets.TitleGrid) widgets.TitleGrid();

  Engine.CreateTables();
  Engine.CreateRemote();
  if (widgets.ShowServerPort) widgets.ShowServerPort(3776);
  if (config_.PortError) std::rethrow_exception(config_.PortError);
  if (config_.RemotePort) {
    Engine.SetRemotePort(*config_.RemotePort);
    if (widgets.ShowServerPort) widgets.ShowServerPort(*config_.RemotePort);
  }
  // Port 3776 taken (another program, an instance still ending): show it and
  // go on, so the scheduler runs once "set" (or, unattended, the retry)
  // binds the server.
  Guarded([this] { Engine.RestartUdp(); });
  if (config_.Headless) Engine.KeepServerActive();

  Engine.CreateScheduler();
  const std::int32_t timeout =
      widgets.ShowReplyTimeout ? widgets.ShowReplyTimeout(config_.ReplyTimeout) : config_.ReplyTimeout;
  Engine.BindGlobals(timeout);
  // From here on the settings are the relay's own, and the faces follow them.
  settled_ = true;
  TellSettings();
  Engine.Start();
  if (widgets.ShowQueuePage) widgets.ShowQueuePage();
}

void TRelayHost::Close() { Engine.Close(); }

std::string TRelayHost::LowLatencyNote() const {
  switch (sp.LowLatency()) {
    case TLowLatency::Granted:
      return "low latency granted by the driver";
    case TLowLatency::Unsupported:
      return "the driver has no low-latency setting";
    case TLowLatency::Refused:
      break;
    case TLowLatency::Unknown:
      return {};
  }
  const std::string path = DevicePathForPort(sp.ComNumber());
  if (!UsbAdapter(path)) return "the driver refused low latency (" + path + ")";
  return "the USB adapter's driver refused low latency (" + path +
         "): each reply may wait up to 16 ms before it is seen, and a tight time-out resends spuriously";
}

void TRelayHost::ReportLowLatency() {
  const std::string note = LowLatencyNote();
  if (note.empty()) return;
  const TLogLevel level = sp.LowLatency() == TLowLatency::Refused ? TLogLevel::Warning : TLogLevel::Event;
  Log(level, "COM" + std::to_string(sp.ComNumber()) + ": " + note);
}

void TRelayHost::ReportLoss(std::uint16_t com) {
  PortGone();
  Log(TLogLevel::Warning, "COM" + std::to_string(com) + ": device lost");
  observers_.DeviceLost();
}

void TRelayHost::ReopenPort() {
  // A lost port is being retried already, its close perhaps still ending:
  // the retry reopens it. Closing it here would end that retry, and an open
  // left for the close's end would not be retried if it failed.
  if (sp.Retrying()) {
    Log(TLogLevel::Event, "status: " + StatusLine());
    return;
  }
  // A port that was open and does not open again is a loss however it was
  // noticed: the close may have come before the dispatcher had counted the
  // loss.
  const bool wasOpen = sp.Open();
  if (wasOpen) sp.SetOpen(false);
  PortGone();
  try {
    sp.OpenOrRetry();
  } catch (...) {
    if (wasOpen) ReportLoss(sp.ComNumber());
    else ShowCurrentException();
  }
  Log(TLogLevel::Event, "status: " + StatusLine());
}

void TRelayHost::StopLoop() {
  Note("stoploop: the operator freed the bus");
  // The request on the bus ends without its reply: counted as given up.
  if (!BusIdle.load()) Relay.Stopped();
  FreeBus();
}

void TRelayHost::StartCapture() {
  if (config_.RecordKiB == 0 || capture_) return;
  capture_ = std::make_unique<TCaptureRing>(config_.RecordKiB);
  notes_ = std::make_unique<TCaptureNotes>(*capture_);
  observers_.Add(*notes_);
  sp.SetCapture(capture_.get());
  UDPS.Capture = UDPC.Capture = capture_.get();
}

void TRelayHost::Note(std::string_view text) {
  if (capture_) capture_->RecordNote(text);
}

void TRelayHost::SetReplyTimeout(std::int32_t milliseconds) {
  ReplyTimeout.store(milliseconds);
  TellSettings();
}

void TRelayHost::SetTraces(TTraces traces) {
  Relay.TxTrace = traces.Tx;
  Relay.RxTrace = traces.Rx;
  Relay.TracePort = traces.Port;
  TellSettings();
}

void TRelayHost::SetComNumber(std::uint8_t com) {
  comNumber_ = com;
  TellSettings();
}

void TRelayHost::SwitchPort(std::uint8_t com) {
  SetComNumber(com);
  if (sp.Open()) sp.SetOpen(false);
  sp.SetComNumber(comNumber_);
  sp.SetOpen(true);
}

void TRelayHost::RestartServer(std::optional<std::uint16_t> port) {
  if (UDPS.Active()) UDPS.SetActive(false);
  if (port) {
    UDPS.Bindings()[0].Port = serverPort_ = *port;
    TellSettings();
  }
  UDPS.SetActive(true);
}

TRunSettings TRelayHost::Settings() const {
  TRunSettings settings;
  settings.ReplyTimeout = ReplyTimeout.load();
  settings.Traces = {Relay.TxTrace, Relay.RxTrace, Relay.TracePort};
  settings.Com = comNumber_;
  settings.ServerPort = serverPort_;
  return settings;
}

void TRelayHost::TellSettings() {
  if (!settled_) return;
  const TRunSettings now = Settings();
  if (now == told_) return;
  told_ = now;
  observers_.SettingsChanged(now);
}

TRelayHost::TPortState TRelayHost::PortState() const {
  return sp.Open() ? TPortState::Open : sp.Retrying() ? TPortState::Retrying : TPortState::Closed;
}

std::int32_t TRelayHost::Baud() const { return sp.Baud(); }

bool TRelayHost::Listening() const { return UDPS.Active(); }

bool TRelayHost::BusBusy() const { return !BusIdle.load(); }

bool TRelayHost::WaitingForPort() const { return PortAway.load(); }

std::optional<std::chrono::steady_clock::time_point> TRelayHost::SchedulerPass() const {
  if (const TBusScheduler* scheduler = Engine.Scheduler()) return scheduler->LastPass();
  return std::nullopt;
}

std::string TRelayHost::StatusLine() const {
  static constexpr const char* kStates[] = {"open", "retrying", "closed"};
  const char* state = kStates[static_cast<int>(PortState())];
  const std::int32_t endpoints = Relay.Devices ? Relay.Devices->Count() : 0;
  const std::int64_t queued = Relay.Queues ? Relay.Queues->Pending() : 0;
  return "COM" + std::to_string(sp.ComNumber()) + " " + state + ", " + std::to_string(endpoints) + " endpoints, " +
         std::to_string(queued) + " queued, TxSent " + std::to_string(Relay.TxSentCount) + ", RxRec " +
         std::to_string(Relay.RxRecCount) + ", PortRec " + std::to_string(Relay.PortRecCount) + ", PortTx " +
         std::to_string(Relay.PortTxCount);
}

void TRelayHost::UDPSUDPRead(TNetUDPServer& /*Sender*/, TMemoryStream& AData, TNetSocketHandle& ABinding) {
  Relay.FileRequest(AData, ABinding.SourceIP);
}

void TRelayHost::spTriggerAvail(TSioComPort& CP, std::uint16_t Count) { Relay.ReceiveBytes(CP, Count); }

}  // namespace tarvix
