#include "status/StatusHosts.h"

#include <arpa/inet.h>

#include <algorithm>

namespace tarvix {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

bool IsIpLiteral(std::string_view host) {
  unsigned char bytes[16];
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    const std::string inner(host.substr(1, host.size() - 2));
    return inet_pton(AF_INET6, inner.c_str(), bytes) == 1;
  }
  return inet_pton(AF_INET, std::string(host).c_str(), bytes) == 1;
}

}  // namespace

TStatusHosts::TStatusHosts(std::string ip, std::vector<std::string> names)
    : ip_(std::move(ip)), names_(std::move(names)) {}

bool TStatusHosts::Allows(std::string_view host) const {
  if (host.empty()) return true;
  // The port is not looked at: a tunnel or a proxy may show another one,
  // and rebinding is told by the name. An IPv6 literal keeps its colons
  // inside the brackets.
  const auto colon = host.rfind(':');
  if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) host = host.substr(0, colon);
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);  // the fully qualified form
  if (SameName(host, "localhost") || host == ip_) return true;
  if (ip_ == "0.0.0.0" && IsIpLiteral(host)) return true;
  return std::any_of(names_.begin(), names_.end(), [&](const std::string& name) { return SameName(host, name); });
}

}  // namespace tarvix
