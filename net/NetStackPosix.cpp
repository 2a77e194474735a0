#include "net/NetStackPosix.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/NetExceptions.h"

namespace tarvix {

std::atomic<bool> TNetStackPosix::interfaceStarted_{false};

namespace {

sockaddr_in MakeAddress(const TNetAddressBytes& bytes, std::int32_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  std::memcpy(&address.sin_addr.s_addr, bytes.data(), bytes.size());
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

void ReadAddress(const sockaddr_in& address, std::string& ip, std::int32_t& port) {
  TNetAddressBytes bytes{};
  std::memcpy(bytes.data(), &address.sin_addr.s_addr, bytes.size());
  ip = TNetStack::BytesToDotted(bytes);
  port = ntohs(address.sin_port);
}

}  // namespace

TNetStackPosix::TNetStackPosix() { interfaceStarted_.store(true); }

int TNetStackPosix::CreateSocket(int family, int type, int protocol) {
  const int handle = socket(family, type | SOCK_CLOEXEC, protocol);
  if (handle == -1) throw ENetInvalidSocket();
  return handle;
}

int TNetStackPosix::Bind(int handle, std::string_view ip, std::int32_t port) {
  const TNetAddressBytes bytes = ip.empty() ? TNetAddressBytes{} : DottedToBytes(ip);
  const sockaddr_in address = MakeAddress(bytes, port);
  return bind(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void TNetStackPosix::GetSocketName(int handle, std::string& ip, std::int32_t& port) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  CheckForSocketError(getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length));
  ReadAddress(address, ip, port);
}

int TNetStackPosix::SetSocketOption(int handle, int level, int option, std::int32_t value) {
  return setsockopt(handle, level, option, &value, sizeof value);
}

int TNetStackPosix::GetSocketOption(int handle, int level, int option, std::int32_t& value) {
  socklen_t length = sizeof value;
  return getsockopt(handle, level, option, &value, &length);
}

std::size_t TNetStackPosix::WaitForReadable(std::span<int> handles, std::int32_t timeoutMs, int wakeHandle) {
  if (handles.size() > MaxSetSize) throw ENetStackSetSizeExceeded();
  std::array<pollfd, MaxSetSize + 1> set{};
  for (std::size_t i = 0; i < handles.size(); ++i) set[i] = {handles[i], POLLIN, 0};
  std::size_t count = handles.size();
  if (wakeHandle != -1) set[count++] = {wakeHandle, POLLIN, 0};

  const int timeout = timeoutMs == WaitForever ? -1 : std::max(timeoutMs, 0);
  if (poll(set.data(), count, timeout) <= 0) return 0;
  if (wakeHandle != -1 && set[count - 1].revents != 0) return 0;

  // An error or hang-up counts as readable: the receive then fails and the
  // caller drops it, instead of the wait returning at once forever.
  std::size_t readable = 0;
  for (std::size_t i = 0; i < handles.size(); ++i) {
    if (set[i].revents != 0) handles[readable++] = set[i].fd;
  }
  return readable;
}

std::int64_t TNetStackPosix::ReceiveFrom(int handle, void* buffer, std::size_t size, int flags, std::string& fromIP,
                                         std::int32_t& fromPort) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  // MSG_TRUNC reports the datagram's real length, so a datagram longer than
  // the buffer is recognised and dropped whole rather than delivered cut.
  const ssize_t received =
      recvfrom(handle, buffer, size, flags | MSG_TRUNC, reinterpret_cast<sockaddr*>(&address), &length);
  if (received == -1) return -1;
  // Named even when too long, so that the refusal can say who sent it.
  ReadAddress(address, fromIP, fromPort);
  if (static_cast<std::size_t>(received) > size) {
    errno = EMSGSIZE;
    return -1;
  }
  return received;
}

std::int64_t TNetStackPosix::SendTo(int handle, const void* data, std::size_t count, int flags, std::string_view ip,
                                    std::int32_t port) {
  const sockaddr_in address = MakeAddress(DottedToBytes(ip), port);
  return sendto(handle, data, count, flags | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                sizeof address);
}

int TNetStackPosix::Shutdown(int handle, int how) { return shutdown(handle, how); }

int TNetStackPosix::Close(int handle) { return close(handle); }

int TNetStackPosix::LastError() const { return WinsockErrorCode(errno); }

}  // namespace tarvix
