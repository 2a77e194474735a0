// The socket layer over the POSIX socket interface (IPv4 datagrams).
//
// Created and freed by TNetComponent only; see NetStack.h for the threads
// that may call it and what each operation raises.
#pragma once

#include "net/NetStack.h"

namespace tarvix {

class TNetStackPosix final : public TNetStack {
 public:
  TNetStackPosix();

  // Whether the process has started its socket interface (it stays started).
  static bool InterfaceStarted() noexcept { return interfaceStarted_.load(); }

  int CreateSocket(int family, int type, int protocol) override;
  int Bind(int handle, std::string_view ip, std::int32_t port) override;
  void GetSocketName(int handle, std::string& ip, std::int32_t& port) override;
  int SetSocketOption(int handle, int level, int option, std::int32_t value) override;
  int GetSocketOption(int handle, int level, int option, std::int32_t& value) override;
  std::size_t WaitForReadable(std::span<int> handles, std::int32_t timeoutMs, int wakeHandle) override;
  std::int64_t ReceiveFrom(int handle, void* buffer, std::size_t size, int flags, std::string& fromIP,
                           std::int32_t& fromPort) override;
  std::int64_t SendTo(int handle, const void* data, std::size_t count, int flags, std::string_view ip,
                      std::int32_t port) override;
  int Shutdown(int handle, int how) override;
  int Close(int handle) override;
  int LastError() const override;

 private:
  // POSIX sockets need no start call; the flag only records, once per
  // process, that the interface is in use.
  static std::atomic<bool> interfaceStarted_;
};

}  // namespace tarvix
