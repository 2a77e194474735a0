#include "RelayRig.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "Pump.h"
#include "tools/Datagram.h"

namespace tarvix::test {

const TProgram kDaemon{TARVIX_RELAYD_PATH, "tarvix-relayd", false};
const TProgram kWindowProgram{TARVIX_SERVER_PATH, "tarvix-server", true};

std::ostream& operator<<(std::ostream& out, const TProgram& program) { return out << program.Name; }

std::string ReplyTo(const std::string& request) {
  std::string reply = request;
  reply[3] = '\x06';
  return reply;
}

std::string Delivered(const std::string& reply) { return reply.substr(1); }

std::string ReplyFrame(TUdpEndpoint& client, std::chrono::milliseconds limit) {
  const auto datagram = client.Receive(limit);
  if (!datagram) return {};
  const auto frame = ReplyFrameOf(*datagram);
  return frame ? std::string(*frame) : "malformed: " + *datagram;
}

long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  long user = 0;
  long system = 0;
  fields >> user >> system;
  return user + system;
}

bool RelayPortBound(std::uint16_t port) {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, ":%04X", port);
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot;
    std::string local;
    fields >> slot >> local;
    if (local.ends_with(suffix)) return true;
  }
  return false;
}

bool Running(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto end = text.rfind(')');
  return end != std::string::npos && end + 2 < text.size() && text[end + 2] != 'Z';
}

std::vector<std::string> Unstamped(const std::string& out) {
  static const std::regex stamped(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (.*)$)");
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (std::regex_match(line, match, stamped))
      lines.push_back(match[1]);
    else
      ADD_FAILURE() << "no timestamp: " << line;
  }
  return lines;
}

TRelayRig::TRelayRig(TProgram program) : program_(program) {
  char pattern[] = "/tmp/tarvix-relay-rig-XXXXXX";
  folder_ = mkdtemp(pattern);
  std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
}

TRelayRig::~TRelayRig() {
  if (relay_ && relay_->Pid() > 0) Stop();
  if (simulator_) {
    simulator_->Signal(SIGTERM);
    simulator_->Finish(2s);
  }
  link_.reset();
  std::filesystem::remove_all(folder_);
}

void TRelayRig::PlugIn() {
  auto line = std::make_unique<TPseudoTerminal>();
  link_ = std::make_unique<TPortLink>(folder_ + "/COM1", line->SlavePath());
  bus_ = std::move(line);
  seen_.clear();
  taken_ = 0;
}

void TRelayRig::StartSimulator(std::vector<std::string> options) {
  if (simulator_) {
    simulator_->Signal(SIGTERM);
    simulator_->Finish(2s);
    std::filesystem::remove(folder_ + "/COM1");
  }
  std::vector<std::string> args{"--port-dir", folder_, "--com", "1", "--ids", "5", "--delay-ms", "20"};
  args.insert(args.end(), options.begin(), options.end());
  simulator_ = std::make_unique<TChildProcess>(TARVIX_BUS_SIM_PATH, args);
  ASSERT_FALSE(simulator_->ReadLine(5s).empty()) << "the bus simulator did not start";
}

std::vector<std::string> TRelayRig::Environment() const {
  return {"TARVIX_COM_DIR=" + folder_, "XDG_RUNTIME_DIR=" + folder_, "QT_QPA_PLATFORM=offscreen"};
}

void TRelayRig::StartRelay(std::vector<std::string> options, bool awaitService) {
  std::vector<std::string> args{"-c1"};
  args.insert(args.end(), options.begin(), options.end());
  relay_ = std::make_unique<TChildProcess>(program_.Path, args, Environment());
  log_.clear();
  if (!awaitService) return;
  ASSERT_TRUE(AwaitRelayPort()) << "the relay did not take UDP 3776";
  // Start-up binds UDP 3776 twice, so a probe may be lost and is sent again.
  TUdpEndpoint probe;
  const std::string frame = BuildRequestFrame(5, "probe");
  bool answered = false;
  for (int attempt = 0; attempt < 5 && !answered; ++attempt) {
    Request(probe, frame);
    if (bus_ && !AwaitOnBus(frame, 1s)) continue;
    if (bus_) bus_->Write(ReplyTo(frame));
    answered = probe.Receive(1s).has_value();
  }
  ASSERT_TRUE(answered) << "the relay did not serve a probe:\n" << AllLog();
  // A probe that was filed late comes after the first: answer it too.
  while (bus_ && AwaitOnBus(frame, 300ms)) bus_->Write(ReplyTo(frame));
}

bool TRelayRig::AwaitRelayPort(std::uint16_t port) {
  return WaitUntil([port] { return RelayPortBound(port); }, 5s);
}

int TRelayRig::Stop() {
  relay_->Signal(SIGTERM);
  const int code = relay_->Finish(10s);
  std::istringstream rest(relay_->Out());
  for (std::string line; std::getline(rest, line);) log_.push_back(line);
  return code;
}

void TRelayRig::Request(TUdpEndpoint& client, const std::string& frame, const std::string& replyIp) {
  RequestFrom(client, frame, replyIp, client.Port());
}

void TRelayRig::RequestFrom(TUdpEndpoint& client, const std::string& frame, const std::string& replyIp,
                            std::uint16_t replyPort) {
  client.SendTo(kRelayPort, EncodeRequest(replyIp, replyPort, frame));
}

bool TRelayRig::Served(TUdpEndpoint& client, const std::string& frame) {
  Request(client, frame);
  if (!AwaitOnBus(frame, 2s)) return false;
  bus_->Write(ReplyTo(frame));
  return ReplyFrame(client) == Delivered(ReplyTo(frame));
}

bool TRelayRig::AwaitOnBus(const std::string& frame, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    DrainLog();
    const auto at = seen_.find(frame, taken_);
    if (at != std::string::npos) {
      taken_ = at + frame.size();
      return true;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return false;
    seen_ += bus_->Read(frame.size(), std::min(left, 50ms));
  }
}

bool TRelayRig::AwaitBusRead(std::chrono::milliseconds limit) {
  // A reader of our own on the port's side: its poll first moves what the
  // device wrote into the line's input queue, which the relay shares, and
  // then tells whether any of it is still unread.
  const int line = open(bus_->SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line < 0) return false;
  const bool read = WaitUntil(
      [line] {
        pollfd p{line, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
      },
      limit);
  close(line);
  return read;
}

void TRelayRig::WatchBus(std::chrono::milliseconds span) {
  const auto deadline = Clock::now() + span;
  while (Clock::now() < deadline) {
    DrainLog();
    seen_ += bus_->Read(4096, 50ms);
  }
}

std::size_t TRelayRig::TimesOnBus(const std::string& frame) const {
  std::size_t count = 0;
  for (auto at = seen_.find(frame); at != std::string::npos; at = seen_.find(frame, at + 1)) ++count;
  return count;
}

void TRelayRig::DrainLog() {
  for (std::string line = relay_->ReadLine(0ms); !line.empty(); line = relay_->ReadLine(0ms)) log_.push_back(line);
}

bool TRelayRig::AwaitLog(const std::string& text, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (std::size_t next = 0;;) {
    for (; next < log_.size(); ++next)
      if (log_[next].find(text) != std::string::npos) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms) return false;
    const std::string line = relay_->ReadLine(left);
    if (!line.empty()) log_.push_back(line);
  }
}

std::string TRelayRig::AllLog() const {
  std::string text;
  for (const auto& line : log_) text += line + '\n';
  return text;
}

}  // namespace tarvix::test
