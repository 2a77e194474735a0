// TStatusHosts: the Host values the status server answers to. A browser
// tricked by DNS rebinding sends the attacker's name, never an address, so
// the server answers only its own address (bound to 0.0.0.0, any IP
// literal), "localhost" and the names given with --status-host, each with
// any port or none; any other Host gets 421. A request without Host (HTTP/1.0)
// comes from no browser and is answered.
//
// A value type, made before the server starts and read on its thread
// afterwards; nothing throws beyond allocation failure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvix {

class TStatusHosts {
 public:
  TStatusHosts() = default;
  // ip: the dotted quad served on; names: lower-case host names.
  TStatusHosts(std::string ip, std::vector<std::string> names);

  // Whether a request with this Host value is answered.
  bool Allows(std::string_view host) const;

 private:
  std::string ip_;
  std::vector<std::string> names_;
};

}  // namespace tarvix
