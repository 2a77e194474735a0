#include "SoakSupport.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "wire/FrameFormat.h"
#include "tools/BusSimulator.h"
#include "tools/Datagram.h"
#include "tools/PseudoTerminal.h"
#include "tools/UdpEndpoint.h"

namespace tarvix::soak {

namespace {

const std::string_view kReplyPrefix("127.0.0.1\0\xC1\x0E\0", 13);

[[noreturn]] void ThrowErrno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

std::string HexBytes(std::string_view text) {
  std::string bytes;
  std::istringstream in{std::string(text)};
  std::string token;
  while (in >> token) {
    if (token.size() != 2) return {};
    bytes.push_back(static_cast<char>(std::stoi(token, nullptr, 16)));
  }
  return bytes;
}

}  // namespace

TScale ParseScale(const char* text) {
  const std::string value = text ? text : "";
  if (value.empty() || value == "short") return {};
  if (value == "full") return {1000, 100000, 100000, 1000};
  const auto x = value.find('x');
  std::size_t used = 0;
  if (x != std::string::npos) {
    TScale scale;
    scale.endpoints = std::stoi(value.substr(0, x), &used);
    if (used != x) throw std::invalid_argument("TARVIX_SOAK_SCALE: " + value);
    const std::string requests = value.substr(x + 1);
    scale.requests = static_cast<std::uint32_t>(std::stoul(requests, &used));
    if (used != requests.size() || scale.endpoints < 1 || scale.endpoints > 60000 || scale.requests < 1) {
      throw std::invalid_argument("TARVIX_SOAK_SCALE: " + value);
    }
    return scale;
  }
  const int factor = std::stoi(value, &used);
  if (used != value.size() || factor < 1 || factor > 1000) throw std::invalid_argument("TARVIX_SOAK_SCALE: " + value);
  const auto k = static_cast<std::uint32_t>(factor);
  return {std::min(100 * factor, 1000), 2000u * k, std::min(2000u * k, 100000u), std::min(100u * k, 1000u)};
}

std::string RequestFrame(std::uint16_t endpoint, std::uint32_t seq) {
  std::string frame;
  frame.push_back(static_cast<char>(kSyn));
  frame.push_back(static_cast<char>(kStx));
  frame.push_back(static_cast<char>(kFrameLen));
  frame.push_back('\0');
  frame.push_back(static_cast<char>(kDeviceId));
  frame.push_back(static_cast<char>(endpoint & 0xFF));
  frame.push_back(static_cast<char>(endpoint >> 8));
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>((seq >> shift) & 0xFF));
  return frame;
}

std::optional<TFrameFields> DecodeFrame(std::string_view f) {
  if (f.size() != kFrameLen || static_cast<std::uint8_t>(f[0]) != kStx ||
      static_cast<std::uint8_t>(f[kLenOffset]) != kFrameLen || static_cast<std::uint8_t>(f[kIdOffset]) != kDeviceId) {
    return std::nullopt;
  }
  const auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<std::uint8_t>(f[k])); };
  TFrameFields fields;
  fields.kind = static_cast<std::uint8_t>(byte(kKindOffset));
  fields.endpoint = static_cast<std::uint16_t>(byte(4) | byte(5) << 8);
  fields.seq = byte(6) | byte(7) << 8 | byte(8) << 16 | byte(9) << 24;
  return fields;
}

std::optional<TFrameFields> DecodeReply(std::string_view datagram) {
  if (datagram.substr(0, kReplyPrefix.size()) != kReplyPrefix) return std::nullopt;
  return DecodeFrame(datagram.substr(kReplyPrefix.size()));
}

TEndpoints::TEndpoints(int count) {
  sockets_.reserve(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) sockets_.push_back(std::make_unique<TUdpEndpoint>());
}

TEndpoints::~TEndpoints() = default;

std::uint16_t TEndpoints::Port(int index) const { return sockets_.at(static_cast<std::size_t>(index))->Port(); }

int TEndpoints::IndexOfPort(std::uint16_t port) const {
  for (std::size_t k = 0; k < sockets_.size(); ++k) {
    if (sockets_[k]->Port() == port) return static_cast<int>(k);
  }
  return -1;
}

bool TEndpoints::SendTo(int index, std::uint16_t port, std::string_view bytes) {
  return sockets_.at(static_cast<std::size_t>(index))->TrySendTo(port, bytes);
}

std::vector<std::string> TEndpoints::Drain(int index) { return sockets_.at(static_cast<std::size_t>(index))->Drain(); }

void TSender::Start(std::uint32_t first, std::uint32_t count, TMayGo mayGo) {
  Join();
  done_ = false;
  thread_ = std::thread([this, first, count, mayGo = std::move(mayGo)] {
    const int endpoints = endpoints_.Count();
    for (std::uint32_t seq = first; seq < first + count; ++seq) {
      if (mayGo && (seq - first) % kPaceEvery == 0) {
        for (int waited = 0; waited < 10000 && !mayGo(); ++waited) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      const int index = static_cast<int>(seq % static_cast<std::uint32_t>(endpoints));
      const std::string datagram =
          EncodeRequest("127.0.0.1", endpoints_.Port(index), RequestFrame(static_cast<std::uint16_t>(index), seq));
      if (endpoints_.SendTo(index, kRelayPort, datagram)) {
        sent_.fetch_add(1);
      } else {
        refused_.fetch_add(1);
      }
    }
    done_ = true;
  });
}

void TSender::Join() {
  if (thread_.joinable()) thread_.join();
}

void TBusRecord::Line(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (line.rfind(">> ", 0) == 0) {
    const std::string seen = HexBytes(std::string_view(line).substr(3));
    // Leading bytes come before the first STX; a frame of this soak never
    // has STX among them.
    const auto stx = seen.find(static_cast<char>(kStx));
    const auto fields = stx == std::string::npos ? std::nullopt : DecodeFrame(std::string_view(seen).substr(stx));
    if (fields && fields->kind == 0) {
      data_.frames.push_back(*fields);
      return;
    }
  } else if (line.rfind("<< ", 0) == 0) {
    ++data_.answered;
    return;
  } else if (line == "-- dropped") {
    ++data_.dropped;
    return;
  }
  data_.odd.push_back(line);
}

TBusRecord::TSnapshot TBusRecord::Snapshot() const {
  std::lock_guard lock(mutex_);
  return data_;
}

std::size_t TBusRecord::FrameCount() const {
  std::lock_guard lock(mutex_);
  return data_.frames.size();
}

TSimulatedDevice::TSimulatedDevice(const std::string& linkPath, TSimOptions options, TBusRecord& record) {
  pty_ = std::make_unique<TPseudoTerminal>();
  link_ = std::make_unique<TPortLink>(linkPath, pty_->SlavePath());
  stop_ = eventfd(0, EFD_CLOEXEC);
  if (stop_ < 0) ThrowErrno("eventfd");
  simulator_ = std::make_unique<TBusSimulator>(options, pty_->MasterFd(), stop_,
                                               [&record](const std::string& line) { record.Line(line); });
  thread_ = std::thread([this] {
    try {
      simulator_->Run();
    } catch (const std::exception& error) {
      std::lock_guard lock(mutex_);
      failure_ = error.what();
    }
  });
}

TSimulatedDevice::~TSimulatedDevice() {
  const std::uint64_t one = 1;
  if (write(stop_, &one, sizeof one) != sizeof one) std::abort();
  thread_.join();
  simulator_.reset();
  link_.reset();
  pty_.reset();
  close(stop_);
}

std::string TSimulatedDevice::Failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

std::uint64_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

TUdpCounters ReadUdpCounters() {
  std::ifstream snmp("/proc/net/snmp");
  std::string names;
  std::string values;
  std::string line;
  while (std::getline(snmp, line)) {
    if (line.rfind("Udp: ", 0) != 0) continue;
    if (names.empty()) {
      names = line;
    } else {
      values = line;
      break;
    }
  }
  TUdpCounters counters;
  std::istringstream n(names);
  std::istringstream v(values);
  std::string name;
  std::string value;
  while (n >> name && v >> value) {
    if (name == "InErrors") counters.inErrors = std::stoull(value);
    if (name == "NoPorts") counters.noPorts = std::stoull(value);
    if (name == "RcvbufErrors") counters.rcvbufErrors = std::stoull(value);
  }
  return counters;
}

std::optional<std::uint64_t> UdpReceiveQueue(std::uint16_t port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // titles
  std::optional<std::uint64_t> total;
  while (std::getline(table, line)) {
    // "  sl  local_address rem_address   st tx_queue:rx_queue ..."
    std::istringstream in(line);
    std::string slot, local, remote, state, queues;
    if (!(in >> slot >> local >> remote >> state >> queues)) continue;
    const auto colon = local.find(':');
    if (colon == std::string::npos || std::stoul(local.substr(colon + 1), nullptr, 16) != port) continue;
    const auto split = queues.find(':');
    if (split == std::string::npos) continue;
    total = total.value_or(0) + std::stoull(queues.substr(split + 1), nullptr, 16);
  }
  return total;
}

std::uint64_t RaiseDescriptorLimit(std::uint64_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(limit.rlim_max, wanted);
    (void)setrlimit(RLIMIT_NOFILE, &limit);
    (void)getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
}


}  // namespace tarvix::soak
