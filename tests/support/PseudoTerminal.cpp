#include "PseudoTerminal.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace tarvix::test {

const std::string& TPseudoTerminal::PortDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/tarvix-ports-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    setenv("TARVIX_COM_DIR", pattern, 1);
    return std::string(pattern);
  }();
  return dir;
}

TPseudoTerminal::TPseudoTerminal(std::uint16_t number) : number_(number) {
  if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  termios raw{};
  tcgetattr(slave_, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave_, TCSANOW, &raw);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  link_ = PortDir() + "/COM" + std::to_string(number_);
  std::filesystem::remove(link_);
  std::filesystem::create_symlink(ttyname(slave_), link_);
}

TPseudoTerminal::~TPseudoTerminal() {
  std::error_code ignored;
  std::filesystem::remove(link_, ignored);
  CloseMaster();
  if (slave_ >= 0) close(slave_);
}

void TPseudoTerminal::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(master_, bytes.data(), bytes.size());
    if (n < 0) throw std::runtime_error("pty write failed");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string TPseudoTerminal::Read(std::size_t count, std::chrono::milliseconds limit) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (out.size() < count) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[512];
    const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - out.size()));
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

void TPseudoTerminal::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

}  // namespace tarvix::test
