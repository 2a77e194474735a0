#include "SerialTestSupport.h"

#include "runtime/ErrorDisplay.h"
#include "runtime/HandOff.h"

namespace tarvix::test {

bool PumpFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  THandOff::Instance().PumpUntil([&] { return done() || std::chrono::steady_clock::now() >= deadline; });
  return done();
}

TRecordingPort::TRecordingPort(std::uint16_t number) {
  SetBaud(4800);
  SetAutoOpen(false);
  SetComNumber(number);
  OnTriggerAvail = [this](TSioComPort& CP, std::uint16_t Count) {
    if (!THandOff::Instance().IsMainThread()) AllOnMainThread = false;
    Counts.push_back(Count);
    LastCount = Count;
    ++Notices;
    const int wanted = Reader ? Reader(Count) : Count;
    for (int i = 0; i < wanted; ++i) {
      Received.push_back(static_cast<char>(CP.GetChar()));
      ReceivedSize = Received.size();
    }
    if (AfterRead) AfterRead(*this);
  };
}

TErrorRecorder::TErrorRecorder()
    : previous_(SetErrorDisplay([this](const std::string& message) { Messages.push_back(message); })) {}

TErrorRecorder::~TErrorRecorder() { SetErrorDisplay(previous_); }

}  // namespace tarvix::test
