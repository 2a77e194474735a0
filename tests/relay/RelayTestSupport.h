// What the relay tests share: an observer that records what the relay
// tells, a fake name server, and the fixture of a relay built as the
// start-up builds it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/HostResolver.h"
#include "net/NetUDPClient.h"
#include "net/NetUDPServer.h"
#include "relay/BusGlobals.h"
#include "relay/DeviceTable.h"
#include "relay/MyMsgQueue.h"
#include "relay/Relay.h"
#include "relay/RelayEngine.h"
#include "relay/RelayObserver.h"
#include "runtime/MemoryStream.h"

namespace tarvix::test {

// An endpoint row as last told, with its IP text kept.
struct TRecordedRow {
  std::string IP;
  std::uint16_t Port = 0;
  std::uint8_t Id = 0;
  std::int32_t Queued = -1;
  std::int32_t Packets = -1;
};

class TRecordingView : public IRelayObserver {
 public:
  void LogLine(TLogLevel /*level*/, std::string_view line) override {
    std::lock_guard lock(mutex_);
    log_.emplace_back(line);
  }
  void CounterChanged(TCounter counter, std::int32_t value) override { counters_[counter] = value; }
  void Refused(TRefusal reason, std::uint64_t total) override { refused_[reason] = total; }
  void EndpointChanged(const TEndpointRow& row, TRowChange change) override {
    TRecordedRow& r = rows_[row.Index];
    if (change == TRowChange::Added) r = {std::string(row.IP), row.Port, row.Id, row.Queued, row.Packets};
    if (change == TRowChange::Queued) r.Queued = row.Queued;
    if (change == TRowChange::Packets) r.Packets = row.Packets;
  }

  // Each frame as it is about to be written ("stoploop", the device's
  // answer and the like are played from here), on the main thread.
  void RequestSending(std::int32_t /*index*/, bool resend) override {
    std::string frame = TxFrame.Str();
    {
      std::lock_guard lock(mutex_);
      sends_.push_back(frame);
      resends_ += resend ? 1 : 0;
    }
    if (OnSending) OnSending(frame, resend);
  }
  std::function<void(const std::string& frame, bool resend)> OnSending;
  void BusEvent(const TBusEvent& event) override {
    std::lock_guard lock(mutex_);
    busEvents_.push_back(event);
  }
  std::vector<TBusEvent> BusEvents() const {
    std::lock_guard lock(mutex_);
    return busEvents_;
  }

  std::vector<std::string> Sends() const {
    std::lock_guard lock(mutex_);
    return sends_;
  }
  std::size_t Resends() const {
    std::lock_guard lock(mutex_);
    return resends_;
  }
  // The log lines that start with prefix.
  std::size_t LinesStartingWith(std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(log_.begin(), log_.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
  }

  std::vector<std::string> Log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  void ClearLog() {
    std::lock_guard lock(mutex_);
    log_.clear();
  }
  // The counter's last value told; -1 when never told.
  std::int32_t Counter(TCounter counter) const {
    const auto it = counters_.find(counter);
    return it == counters_.end() ? -1 : it->second;
  }
  // Refusals for reason as last told; 0 when never told.
  std::uint64_t RefusedTotal(TRefusal reason) const {
    const auto it = refused_.find(reason);
    return it == refused_.end() ? 0 : it->second;
  }
  // The row of the entry at index as told; empty IP when never told.
  TRecordedRow Row(std::int32_t index) const {
    const auto it = rows_.find(index);
    return it == rows_.end() ? TRecordedRow{} : it->second;
  }

 private:
  mutable std::mutex mutex_;  // guards log_ and the sends: tests read them while the scheduler runs
  std::vector<std::string> log_;
  std::vector<std::string> sends_;
  std::vector<TBusEvent> busEvents_;
  std::size_t resends_ = 0;
  std::map<TCounter, std::int32_t> counters_;
  std::map<TRefusal, std::uint64_t> refused_;
  std::map<std::int32_t, TRecordedRow> rows_;
};

// A name server for THostResolver: answers from a table (a name missing
// from it is not found), or, while silent, holds every look-up until
// Answer() or its end. Counts the look-ups asked and the most under way at
// once. Any thread.
class TFakeNames {
 public:
  ~TFakeNames() { Answer(); }

  void Set(const std::string& name, TNetAddressBytes address) {
    std::lock_guard lock(mutex_);
    table_[name] = address;
  }
  void Silent() {
    std::lock_guard lock(mutex_);
    silent_ = true;
  }
  // Ends the silence: the held look-ups and the later ones are answered.
  void Answer() {
    {
      std::lock_guard lock(mutex_);
      silent_ = false;
    }
    answered_.notify_all();
  }
  int Asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
  }
  int MostAtOnce() const {
    std::lock_guard lock(mutex_);
    return most_;
  }

  THostResolver::TLookup Lookup() {
    return [this](const std::string& name) -> THostResolver::TAnswer {
      std::unique_lock lock(mutex_);
      ++asked_;
      most_ = std::max(most_, ++running_);
      answered_.wait(lock, [&] { return !silent_; });
      --running_;
      const auto found = table_.find(name);
      if (found == table_.end()) return std::nullopt;
      return found->second;
    };
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::map<std::string, TNetAddressBytes> table_;
  bool silent_ = false;
  int asked_ = 0;
  int running_ = 0;
  int most_ = 0;
};

// A relay as the start-up builds it (the device table, the queues and the
// reply endpoint), without a port and without a running scheduler; what it
// tells is recorded in view. Tests of one part derive from it and drive
// that part as its event would.
class TRelayFixture : public ::testing::Test {
 protected:
  TRelayFixture() {
    engine.emplace(relay, nullptr, client, server);
    engine->CreateTables();
    engine->CreateRemote();
  }

  // Files a request datagram from sender, as the UDP server's read event does.
  void Receive(std::string_view datagram, std::string_view sender = {}) {
    stream.SetSize(datagram.size());
    std::copy(datagram.begin(), datagram.end(), stream.Memory());
    stream.SetPosition(0);
    relay.FileRequest(stream, sender);
  }

  // Bytes from the bus, as the serial port's data event hands them over.
  void Feed(std::string_view bytes) {
    for (const char c : bytes) relay.ReceiveByte(static_cast<std::uint8_t>(c));
  }

  TRecordingView view;
  TRelayConfig config;
  TRelay relay{view, config};
  TNetUDPClient client;
  TNetUDPServer server;
  std::optional<TRelayEngine> engine;
  TMemoryStream stream;
};

// The fixture's relay with its scheduler running, as the start-up runs it:
// the polling one, or with config.Turnaround the event-driven one.
class TSchedulerFixture : public TRelayFixture {
 protected:
  ~TSchedulerFixture() override { Stop(); }

  // Starts the scheduler with the reply time-out given; pause and clock
  // stand in for the real ones where given. The bus is freed before the
  // thread starts (the start-up frees it just after), so that a request
  // queued beforehand is not freed under its first send.
  void Start(std::int32_t timeout = 1000, TPause pause = {}, TSchedulerClock clock = {}) {
    engine->CreateScheduler(std::move(pause), std::move(clock));
    engine->BindGlobals(timeout);
    PortBack();
    FreeBus();
    scheduler = engine->Scheduler();
    scheduler->Start();
  }

  void Stop() {
    if (!scheduler) return;
    scheduler->Terminate();
    scheduler->WaitFor();
    scheduler = nullptr;
  }

  // Queues frame for endpoint queue, adding the endpoints up to it on the
  // way (endpoint q: 10.0.0.q+1, port 5000+q).
  void Push(std::int32_t queue, std::string_view frame) {
    while (relay.Queues->Count() <= queue) {
      const std::int32_t q = relay.Queues->Count();
      relay.Devices->Add("10.0.0." + std::to_string(q + 1), static_cast<std::uint16_t>(5000 + q));
      relay.Queues->Add();
    }
    auto m = std::make_unique<TMyMsg>(static_cast<std::int32_t>(frame.size()));
    m->SetData(frame);
    m->DeviceIndex = queue;
    relay.Queues->Items(queue).Push(std::move(m));
    RequestQueued(queue);
  }

  TBusScheduler* scheduler = nullptr;
};

}  // namespace tarvix::test
