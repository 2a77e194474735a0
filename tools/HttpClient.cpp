#include "tools/HttpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "runtime/Exception.h"

namespace tarvix {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

[[noreturn]] void Fail(int error) { throw EInOutError(std::strerror(error), error); }

}  // namespace

// A chunked body's data: each chunk's size in hex, CRLF, the bytes, CRLF;
// a chunk of size 0 ends it. What is cut short is kept as far as it goes.
std::string Dechunked(const std::string& body) {
  std::string data;
  std::size_t at = 0;
  while (at < body.size()) {
    const auto line = body.find("\r\n", at);
    if (line == std::string::npos) break;
    const std::size_t size = std::stoul(body.substr(at, line - at), nullptr, 16);
    if (size == 0) break;
    data += body.substr(line + 2, size);
    at = line + 2 + size + 2;
  }
  return data;
}

std::string THttpAnswer::Header(const std::string& name) const {
  const std::string head = Lower(Head);
  const std::string key = "\r\n" + Lower(name) + ":";
  const auto at = head.find(key);
  if (at == std::string::npos) return {};
  const auto start = Head.find_first_not_of(' ', at + key.size());
  return Head.substr(start, Head.find("\r\n", start) - start);
}

int ConnectLoopback(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(errno);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

THttpAnswer HttpRequest(std::uint16_t port, const std::string& method, const std::string& path,
                        std::chrono::milliseconds limit) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) Fail(ECONNREFUSED);
  const std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  std::string raw;
  bool sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (sent && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  THttpAnswer answer;
  const auto end = raw.find("\r\n\r\n");
  if (!sent || end == std::string::npos || raw.size() < 12) Fail(EPROTO);
  answer.Head = raw.substr(0, end);
  answer.Body = raw.substr(end + 4);
  answer.Status = std::stoi(raw.substr(9, 3));
  if (Lower(answer.Header("Transfer-Encoding")) == "chunked") answer.Body = Dechunked(answer.Body);
  return answer;
}

}  // namespace tarvix
