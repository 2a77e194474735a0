// The socket layer: the one process-wide object through which the UDP
// components make every socket call.
//
// Owner: the TNetComponent instances together; the first one creates the
// layer, the last one frees it (see NetComponent.h). Instance() may only be
// used while a component lives.
// Threads: the operations carry no lock; the main thread and the UDP
// listener threads call them at the same time. The static helpers are pure,
// save that HostToIP may ask the system's resolver and then blocks for at
// most LookupLimit.
// Errors: failed calls become ENetSocketError with the Windows Sockets
// error number (errno is translated, see WinsockErrorCode).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarvix {

// Four IPv4 address bytes, first byte first (network order).
using TNetAddressBytes = std::array<std::uint8_t, 4>;

class TNetStack {
 public:
  // The most sockets that one readiness wait takes.
  static constexpr std::size_t MaxSetSize = 64;
  // The time-out of WaitForReadable that waits without limit.
  static constexpr std::int32_t WaitForever = -2;
  // The longest HostToIP waits for the system's resolver.
  static constexpr std::chrono::milliseconds LookupLimit{1000};

  TNetStack(const TNetStack&) = delete;
  TNetStack& operator=(const TNetStack&) = delete;
  virtual ~TNetStack() = default;

  // The live socket layer. Precondition: a TNetComponent exists.
  static TNetStack& Instance() noexcept { return *instance_.load(); }

  // Opens a socket (close-on-exec); raises ENetInvalidSocket when the system refuses.
  virtual int CreateSocket(int family, int type, int protocol) = 0;

  // Binds to ip (dotted text; empty means all local addresses) and port.
  // Returns the system result (0 or -1); the caller runs the error check.
  // Raises EConvertError for an ip that is not dotted text.
  virtual int Bind(int handle, std::string_view ip, std::int32_t port) = 0;

  // The address and port the socket is bound to; raises ENetSocketError.
  virtual void GetSocketName(int handle, std::string& ip, std::int32_t& port) = 0;

  // Sets a 4-byte option; returns the system result, the caller checks it.
  virtual int SetSocketOption(int handle, int level, int option, std::int32_t value) = 0;

  // Reads a 4-byte option into value; returns the system result, the
  // caller checks it.
  virtual int GetSocketOption(int handle, int level, int option, std::int32_t& value) = 0;

  // Waits at most timeoutMs (WaitForever: no limit) until one of handles is
  // readable, or wakeHandle (an event descriptor, -1 for none) is signalled.
  // Moves the readable handles, in their order, to the front of handles and
  // returns their count; a time-out, a wake-up or a failed wait return 0.
  // Raises ENetStackSetSizeExceeded for more than MaxSetSize handles.
  // Blocks; allocates nothing.
  virtual std::size_t WaitForReadable(std::span<int> handles, std::int32_t timeoutMs, int wakeHandle) = 0;

  // Receives one datagram into buffer: its length, or -1 (check it). A
  // datagram longer than size is consumed and reported as -1 with the code
  // 10040, never delivered cut. fromIP and fromPort name the sender. Blocks
  // until a datagram is there; allocates nothing.
  virtual std::int64_t ReceiveFrom(int handle, void* buffer, std::size_t size, int flags, std::string& fromIP,
                                   std::int32_t& fromPort) = 0;

  // Sends count bytes as one datagram to ip (dotted text) and port: the
  // count sent, or -1. Raises EConvertError for an ip that is not dotted text.
  virtual std::int64_t SendTo(int handle, const void* data, std::size_t count, int flags, std::string_view ip,
                              std::int32_t port) = 0;

  // Shut down and close; the results are the system's, nobody checks them.
  virtual int Shutdown(int handle, int how) = 0;
  virtual int Close(int handle) = 0;

  // The Windows Sockets number of the last failure on the calling thread.
  virtual int LastError() const = 0;

  // The error check: false when result is not -1; true when it is -1 with
  // one of the expected codes; otherwise raises ENetSocketError. Stores the
  // code it has read.
  bool CheckForSocketError(std::int64_t result, std::initializer_list<int> expected = {});

  // The code that the last check read (whichever thread ran it).
  int LastErrorCode() const noexcept { return lastErrorCode_.load(); }

  // "localhost" in any letter case gives "127.0.0.1", a dotted quad stays
  // as it is, anything else is looked up by name (first IPv4 address) on a
  // thread of its own. Any thread; blocks for at most LookupLimit. Raises
  // ENetSocketError 11001 "Host not found." when there is no answer within
  // that time; a look-up given up on ends in the background when the
  // resolver itself gives up.
  static std::string HostToIP(std::string_view host);

  // The first IPv4 address the system's resolver gives for name, if any.
  // Any thread; blocks for as long as the resolver takes.
  static std::optional<TNetAddressBytes> FirstIPv4Address(const std::string& name);

  // Split at the first three "." (the fourth part is the rest), each part an
  // integer from 0 to 255.
  static bool IsDottedQuad(std::string_view text);

  // The first four "."-separated parts as integers, low 8 bits each; raises
  // EConvertError for a part that is no integer (a missing part is empty).
  static TNetAddressBytes DottedToBytes(std::string_view text);

  // Decimal numbers without leading zeros joined by ".".
  static std::string BytesToDotted(const TNetAddressBytes& bytes);

  // errno as its Windows Sockets number; 10000 + errno where there is none.
  static int WinsockErrorCode(int errnoValue) noexcept;

 protected:
  TNetStack() = default;

 private:
  friend class TNetComponent;

  static std::atomic<TNetStack*> instance_;  // set and cleared under TNetComponent's lock
  std::atomic<int> lastErrorCode_{0};
};

}  // namespace tarvix
