// TControlSocket: the listening Unix stream socket of the control face, at
// a path in the file system. Opening replaces a stale socket that a relay
// which ended without its close left behind (nothing answers on it), never
// a live one nor a file that is no socket; the socket is made with mode
// 0660, so that the owner and the group may connect. Closing removes it,
// when the path still names this socket.
//
// Owned by the control service; Open and Close on the main thread, the
// descriptor then read by the control thread. Open throws Exception with
// a text that names the path (and errno's text); nothing else throws.
#pragma once

#include <sys/types.h>

#include <string>

namespace tarvix {

class TControlSocket {
 public:
  TControlSocket() = default;
  ~TControlSocket() { Close(); }
  TControlSocket(const TControlSocket&) = delete;
  TControlSocket& operator=(const TControlSocket&) = delete;

  // Listens at path (non-blocking, close-on-exec).
  void Open(const std::string& path);
  // Stops listening and removes the socket file.
  void Close() noexcept;

  int Handle() const noexcept { return fd_; }
  const std::string& Path() const noexcept { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
  ino_t inode_ = 0;  // of the socket file made, so that Close removes only ours
  dev_t device_ = 0;
};

}  // namespace tarvix
