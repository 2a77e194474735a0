// Host names looked up off the caller's thread: the relay's main thread asks
// and never waits; at most kWorkers look-ups run at a time, each on a worker
// thread of the resolver's own, and every answer comes back to the main
// thread through the post function, in the order the look-ups end. Answers
// are kept for kKeepFound (a name found) or kKeepFailed (a name not found),
// so a busy client's name is looked up once in that time, whatever the rate
// of its requests.
//
// Owner: whoever made it (the relay). Main thread only, apart from the
// workers inside. The destructor does not wait for a look-up under way (the
// system's resolver cannot be stopped): its worker ends when the resolver
// gives up, and the answer is dropped. Nothing here throws beyond allocation
// failure and thread creation (std::system_error, from Resolve).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "net/NetStack.h"

namespace tarvix {

class THostResolver {
 public:
  static constexpr std::size_t kWorkers = 4;
  static constexpr std::chrono::seconds kKeepFound{30};
  static constexpr std::chrono::seconds kKeepFailed{5};
  // Answers kept at most; past it the oldest goes first.
  static constexpr std::size_t kKeepMost = 4096;
  // Look-ups under way that the resolver is sized for; the caller bounds them.
  static constexpr std::size_t kMostPending = 16384;

  using TAnswer = std::optional<TNetAddressBytes>;  // none: not found
  // Asks the system (blocks as long as it takes); tests give a fake.
  using TLookup = std::function<TAnswer(const std::string& host)>;
  // Runs a step later on the main thread (THandOff::Post by default).
  using TPost = std::function<void(std::function<void()>)>;
  using TClock = std::function<std::chrono::steady_clock::time_point()>;
  // Main thread: the look-up of host has ended.
  using TDone = std::function<void(const std::string& host, const TAnswer& answer)>;

  explicit THostResolver(TDone done, TLookup lookup = {}, TPost post = {}, TClock clock = {});
  ~THostResolver();
  THostResolver(const THostResolver&) = delete;
  THostResolver& operator=(const THostResolver&) = delete;

  // The address of a host that needs no look-up: a dotted quad, or
  // "localhost" in any letter case (127.0.0.1); none for a name.
  static TAnswer Literal(std::string_view host);

  // The kept answer for host while it is fresh: found or not found; none
  // when host must be looked up.
  std::optional<TAnswer> Kept(std::string_view host);

  // Starts a look-up of host unless one is under way; done is called when
  // it ends, once for all who asked meanwhile. Throws std::system_error
  // when no worker runs and none can be started.
  void Resolve(std::string_view host);

  // Look-ups asked for and not yet ended.
  std::size_t Pending() const noexcept { return inFlight_.size(); }

 private:
  struct TShared;
  struct TKept {
    TAnswer Answer;
    std::chrono::steady_clock::time_point Until;
    std::uint64_t Serial = 0;  // tells this answer from an older one of the same name in keptOrder_
  };

  void Deliver(const std::string& host, const TAnswer& answer);
  void Keep(const std::string& host, const TAnswer& answer);

  TDone done_;
  TPost post_;
  TClock clock_;
  std::shared_ptr<TShared> shared_;  // the workers' queue and the answers on their way
  std::unordered_set<std::string> inFlight_;
  std::unordered_map<std::string, TKept> kept_;
  std::deque<std::pair<std::string, std::uint64_t>> keptOrder_;  // in the order the answers came
  std::uint64_t serial_ = 0;
};

}  // namespace tarvix
