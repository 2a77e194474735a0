#include "net/NetStack.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "net/NetErrorCodes.h"
#include "net/NetExceptions.h"
#include "runtime/IntText.h"

namespace tarvix {

std::atomic<TNetStack*> TNetStack::instance_{nullptr};

namespace {

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

// One look-up, shared by the caller and the resolver thread: whichever
// lets go last frees it, so a caller that gave up leaves nothing dangling.
struct TLookup {
  std::mutex Lock;
  std::condition_variable Done;
  bool Finished = false;                   // guarded by Lock
  std::optional<TNetAddressBytes> Answer;  // guarded by Lock
};

}  // namespace

bool TNetStack::CheckForSocketError(std::int64_t result, std::initializer_list<int> expected) {
  if (result != -1) return false;
  const int code = LastError();
  lastErrorCode_.store(code);
  if (std::find(expected.begin(), expected.end(), code) != expected.end()) return true;
  throw ENetSocketError(code);
}

std::optional<TNetAddressBytes> TNetStack::FirstIPv4Address(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* answer = nullptr;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &answer) != 0 || answer == nullptr) return std::nullopt;
  const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owned(answer, &freeaddrinfo);
  TNetAddressBytes bytes{};
  std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr, bytes.size());
  return bytes;
}

std::string TNetStack::HostToIP(std::string_view host) {
  constexpr std::string_view localhost = "localhost";
  if (std::ranges::equal(host, localhost, [](char a, char b) { return (a | 0x20) == b; })) return "127.0.0.1";
  if (IsDottedQuad(host)) return std::string(host);

  // getaddrinfo has no time limit of its own, so it runs on a thread of its
  // own; past the limit the caller stops waiting and the thread ends when
  // the resolver gives up.
  auto lookup = std::make_shared<TLookup>();
  try {
    std::thread([lookup, name = std::string(host)] {
      std::optional<TNetAddressBytes> answer = FirstIPv4Address(name);
      {
        const std::lock_guard lock(lookup->Lock);
        lookup->Answer = answer;
        lookup->Finished = true;
      }
      lookup->Done.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    // A look-up that cannot even start has no answer either.
    throw ENetSocketError(WSAHOST_NOT_FOUND);
  }
  std::unique_lock lock(lookup->Lock);
  lookup->Done.wait_for(lock, LookupLimit, [&] { return lookup->Finished; });
  if (!lookup->Answer) throw ENetSocketError(WSAHOST_NOT_FOUND);
  return BytesToDotted(*lookup->Answer);
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
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    default: return WSABASEERR + errnoValue;
  }
}

}  // namespace tarvix
