// TRelayHost: the relay as one object, with or without a window. It owns the
// serial port sp, the UDP server UDPS and client UDPC, the relay state, the
// engine with its scheduler thread, the log tail and the list of observers;
// it binds the five events (UDP read, serial data, port open, device lost,
// device back) and runs the one creation sequence and the close, in the
// fixed order the relay depends on.
//
// Every face (the window, the daemon's console, the status server) goes
// through the host: it adds itself as an observer, reads the state through
// the read-only view below, and changes what an operator may change through
// the commands, each of which tells every observer the settings after it
// (SettingsChanged), so a face that did not make a change follows it. The
// window also fills in its own widget steps of the creation sequence.
//
// Owned by the program (the window owns it in window mode). Main thread
// only, every method. Load and Create show what fails through the error
// display and go on as described at each; Create raises the error of the
// step that ends it (the "-c" and "-p" switches' errors, the scheduler's
// "Thread creation error: %s"). Close never throws for a half-built relay.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "capture/CaptureRing.h"
#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/CaptureNotes.h"
#include "relay/LogTail.h"
#include "relay/Relay.h"
#include "relay/RelayConfig.h"
#include "relay/RelayEngine.h"
#include "relay/RelayObserver.h"
#include "serial/SioComPort.h"

namespace tarvix {

// The window's own steps within the creation sequence; each is left out
// where it is empty (the daemon has none).
struct TWidgetSteps {
  // Copies the trace check boxes into the relay's flags (SetTraces);
  // without it the configured flags are taken.
  std::function<void()> CopyTraceChecks;
  // Titles the queue grid.
  std::function<void()> TitleGrid;
  // Shows the number as "Serverport" (3776 first, then the "-p" number).
  std::function<void(std::uint16_t port)> ShowServerPort;
  // Shows the reply time-out and returns the value read back from the control.
  std::function<std::int32_t(std::int32_t milliseconds)> ShowReplyTimeout;
  // Brings the "Queue" page to the front.
  std::function<void()> ShowQueuePage;
};

class TRelayHost {
 public:
  static constexpr std::size_t kLogTailLines = 1000;

  explicit TRelayHost(TRelayConfig config = {});
  // Stops what still runs; the error log is no longer the relay's log.
  ~TRelayHost();
  TRelayHost(const TRelayHost&) = delete;
  TRelayHost& operator=(const TRelayHost&) = delete;

  // The settings. Change them only before Load.
  TRelayConfig& Config() noexcept { return config_; }
  const TRelayConfig& Config() const noexcept { return config_; }

  // Observers are told of every change from here on, in the order added.
  void AddObserver(IRelayObserver& observer) { observers_.Add(observer); }
  void RemoveObserver(IRelayObserver& observer) noexcept { observers_.Remove(observer); }

  // Loading the components: the port at the configured baud (4800 unless
  // --baud) and RS485 mode, the UDP server bound to the configured address and port
  // (3776), the events bound, then the client and the server activated. An
  // activation error is shown and leaves that component inactive.
  void Load();

  // The creation sequence. Each long option that could not be read is shown
  // first; after a malformed --rs485 the port is not opened. A port that cannot be opened is shown and start-up goes on with
  // the port closed (the window's "set" or the reopen opens it later); so
  // does an error of the UDP restart (headless, the server is then retried
  // every 5 s). Any other error ends the sequence: the steps before it stay
  // done, the later ones are skipped.
  void Create(const TWidgetSteps& widgets = {});

  // The close: stops the scheduler (running the steps it hands over
  // meanwhile), then closes the port, the UDP client and the UDP server.
  void Close();

  // SIGHUP without a window: closes the port if open and opens it again
  // (retrying once a second while it fails), then logs StatusLine. An open
  // port that does not open again is reported and counted as a lost device;
  // one already lost (its close perhaps still ending) is left to its retry,
  // without a further line.
  void ReopenPort();

  // The operator's commands. Each has the effect of the window's control
  // of the same name and then tells every observer the settings, when they
  // changed.
  // "stoploop": frees the bus; resending stops and the next request goes.
  void StopLoop();
  // "timeout": the reply time-out, in ms, from the scheduler's next count on.
  void SetReplyTimeout(std::int32_t milliseconds);
  // The trace check boxes: which trace lines are written from now on.
  void SetTraces(TTraces traces);
  // "set" in "COMPort": closes the port if open and opens the one numbered
  // com. Raises what the open raises (the port then stays closed; the
  // number is taken all the same).
  void SwitchPort(std::uint8_t com);
  // "set" in "TarvixServer": deactivates the UDP server if active and
  // activates it again, on port when given. Raises what the bind raises
  // (the server then stays inactive).
  void RestartServer(std::optional<std::uint16_t> port = {});

  // The read-only view, for faces that show the state.
  enum class TPortState { Open, Retrying, Closed };
  TRunSettings Settings() const;
  TPortState PortState() const;
  std::int32_t Baud() const;
  // Whether the driver took the request for low latency at the last open,
  // and that in words ("low latency granted by the driver"; a USB adapter
  // that refused it is named with what that costs); empty while closed.
  TLowLatency LowLatency() const { return sp.LowLatency(); }
  std::string LowLatencyNote() const;
  // Whether the UDP server is bound.
  bool Listening() const;
  // Whether a reply is awaited (a request on the bus), and whether the bus
  // is held because the port is away.
  bool BusBusy() const;
  bool WaitingForPort() const;
  // The counters, the device table and the queues (state, not commands).
  const TRelay& State() const noexcept { return Relay; }
  // When the scheduler last went round; none before it exists.
  std::optional<std::chrono::steady_clock::time_point> SchedulerPass() const;
  // One line of what the relay is doing: "COM1 open, 2 endpoints, 0 queued,
  // TxSent 3, RxRec 3, PortRec 3, PortTx 3" (the port "open", "retrying" or
  // "closed").
  std::string StatusLine() const;
  // The newest kLogTailLines log lines.
  const TLogTail& LogTail() const noexcept { return tail_; }
  // The capture ring of both sides of the bus, with --record (from Load
  // on); none without. Readers may read it from any thread (CaptureReader.h)
  // while the host lives.
  const TCaptureRing* Capture() const noexcept { return capture_.get(); }

  // Adds a line to the log (every observer, the tail included).
  void Log(TLogLevel level, std::string_view line) { observers_.LogLine(level, line); }

  // The two data events: request intake and the reply receiver. What they
  // raise goes back to the component that raised the event (the UDP server
  // drops it, the serial port shows it).
  void UDPSUDPRead(TNetUDPServer& Sender, TMemoryStream& AData, TNetSocketHandle& ABinding);
  void spTriggerAvail(TSioComPort& CP, std::uint16_t Count);

 private:
  // One line of LowLatencyNote, a warning for a refusal.
  void ReportLowLatency();
  // The port went away: the bus is held, the loss logged and told.
  void ReportLoss(std::uint16_t com);
  // Sets the port number the port is (re)opened with.
  void SetComNumber(std::uint8_t com);
  // Tells every observer the settings when they differ from those last
  // told; nothing until start-up has set them all.
  void TellSettings();
  // With --record: the ring made, its notes observed, the components told.
  void StartCapture();
  // Records a note in the capture, when there is one.
  void Note(std::string_view text);

  TRelayConfig config_;
  TObserverList observers_;
  TLogTail tail_{kLogTailLines};
  TRunSettings told_;
  bool settled_ = false;
  // Made before, and destroyed after, the components that record into it.
  std::unique_ptr<TCaptureRing> capture_;
  std::unique_ptr<TCaptureNotes> notes_;

 public:
  TSioComPort sp;
  TNetUDPServer UDPS;
  TNetUDPClient UDPC;
  TRelay Relay{observers_, config_};
  TRelayEngine Engine{Relay, &sp, UDPC, UDPS};

 private:
  // The serial port number used when the port is (re)opened.
  std::uint8_t comNumber_ = 0;
  // The UDP port the server binds (its one binding's).
  std::uint16_t serverPort_ = 0;
};

}  // namespace tarvix
