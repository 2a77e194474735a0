#include "net/NetStack.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "net/NetExceptions.h"
#include "runtime/IntText.h"

namespace tarvix {

std::atomic<TNetStack*> TNetStack::instance_{nullptr};

namespace {

constexpr int HostNotFound = 11001;

// Cuts text at its next "." (or its end) and returns the part before it.
std::string_view NextPart(std::string_view& text) {
  const auto dot = text.find('.');
  const std::string_view part = text.substr(0, dot);
  text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  return part;
}

bool IsByteText(std::string_view part) {
  const auto value = TryStrToInt(part);
  return value && *value >= 0 && *value <= 255;
}

}  // namespace

bool TNetStack::CheckForSocketError(std::int64_t result, std::initializer_list<int> expected) {
  if (result != -1) return false;
  const int code = LastError();
  lastErrorCode_.store(code);
  if (std::find(expected.begin(), expected.end(), code) != expected.end()) return true;
  throw ENetSocketError(code);
}

std::string TNetStack::HostToIP(std::string_view host) {
  constexpr std::string_view localhost = "localhost";
  if (std::ranges::equal(host, localhost, [](char a, char b) { return (a | 0x20) == b; })) return "127.0.0.1";
  if (IsDottedQuad(host)) return std::string(host);

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(std::string(host).c_str(), nullptr, &hints, &answer) != 0 || answer == nullptr) {
    throw ENetSocketError(HostNotFound);
  }
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(answer, &freeaddrinfo);
  const auto* address = reinterpret_cast<const sockaddr_in*>(answer->ai_addr);
  TNetAddressBytes bytes{};
  std::memcpy(bytes.data(), &address->sin_addr.s_addr, bytes.size());
  return BytesToDotted(bytes);
}

bool TNetStack::IsDottedQuad(std::string_view text) {
  for (int i = 0; i < 3; ++i) {
    const auto dot = text.find('.');
    if (dot == std::string_view::npos || !IsByteText(text.substr(0, dot))) return false;
    text.remove_prefix(dot + 1);
  }
  return IsByteText(text);
}

TNetAddressBytes TNetStack::DottedToBytes(std::string_view text) {
  TNetAddressBytes bytes{};
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(StrToInt(NextPart(text)) & 0xFF);
  return bytes;
}

std::string TNetStack::BytesToDotted(const TNetAddressBytes& bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += '.';
    text += std::to_string(bytes[i]);
  }
  return text;
}

int TNetStack::WinsockErrorCode(int errnoValue) noexcept {
  switch (errnoValue) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: return 10024;
    case EAGAIN: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return 10000 + errnoValue;
  }
}

}  // namespace tarvix
