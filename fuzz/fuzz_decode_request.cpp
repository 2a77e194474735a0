// Request datagrams come from anyone on the network. The split into reply
// IP, port and frame is checked against an independent reading of the
// datagram layout, at two stream positions, with the caller's sentinels.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "relay/RemoteDevice.h"
#include "runtime/MemoryStream.h"
#include "runtime/ShortString.h"

using namespace tarvix;
using tarvix::fuzz::Check;

namespace {

struct TExpected {
  std::string ip;
  std::optional<std::uint16_t> port;  // nothing: the caller's value stays
  std::string frame;
};

// The layout read the plain way: IP text up to a 0 byte, port low and high,
// a separator, then the frame, all within the first kRequestLimit bytes.
TExpected Expect(std::string_view datagram) {
  const std::string_view d = datagram.substr(0, kRequestLimit);
  TExpected e;
  std::size_t i = 0;
  while (i < d.size() && d[i] != '\0') e.ip.push_back(d[i++]);
  if (i == d.size()) return e;  // no terminator
  const std::size_t p = i + 1;
  if (p + 3 >= d.size()) return e;  // no frame byte after the separator
  e.port = static_cast<std::uint16_t>(static_cast<std::uint8_t>(d[p]) + 256 * static_cast<std::uint8_t>(d[p + 1]));
  e.frame.assign(d.substr(p + 3));
  return e;
}

void DecodeAt(const std::string_view datagram, std::size_t lead, const TExpected& e) {
  // A stream sized exactly to its bytes, so a read past them is a heap overflow.
  TMemoryStream stream;
  stream.SetSize(lead + datagram.size());
  if (lead > 0) std::memset(stream.Memory(), 0xA5, lead);
  if (!datagram.empty()) std::memcpy(stream.Memory() + lead, datagram.data(), datagram.size());
  stream.SetPosition(lead);

  const TRemoteDevice remote;
  ShortString ip("stale ip");
  ShortString frame("stale frame");
  constexpr std::uint16_t sentinel = 0xBEEF;
  std::uint16_t port = sentinel;
  remote.DecodeRequest(stream, ip, port, frame);

  Check(ip.Length() <= 255 && frame.Length() <= kRequestLimit, "lengths");
  Check(ip.View() == e.ip, "IP text");
  Check(frame.View() == e.frame, "frame");
  Check(port == e.port.value_or(sentinel), "port");
  // Bytes after the 128th stay unread for the next reader.
  const std::size_t consumed = std::min(datagram.size(), kRequestLimit);
  Check(stream.Position() == lead + consumed, "bytes consumed");
  // Too short a request files an empty frame and keeps the caller's port.
  if (e.ip.size() + 5 > datagram.size()) Check(frame.Empty() && port == sentinel, "short request");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);
  const TExpected e = Expect(datagram);
  DecodeAt(datagram, 0, e);
  DecodeAt(datagram, 3, e);  // the read starts at the stream's position, not its start
  return 0;
}
