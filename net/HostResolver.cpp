#include "net/HostResolver.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "runtime/HandOff.h"

namespace tarvix {

// What the workers share with the resolver; whoever lets go last frees it,
// so a worker still waiting on the system's resolver when the resolver is
// destroyed leaves nothing dangling.
struct THostResolver::TShared {
  TLookup Lookup;
  TPost Post;
  std::mutex Lock;
  std::condition_variable Work;
  std::deque<std::string> Queue;                         // guarded by Lock
  std::vector<std::pair<std::string, TAnswer>> Answers;  // guarded by Lock; ended, not delivered
  std::size_t Workers = 0;                               // guarded by Lock
  std::size_t Idle = 0;                                  // guarded by Lock
  bool Closed = false;                                   // guarded by Lock
  THostResolver* Owner = nullptr;                        // main thread only; null once destroyed

  void Run(const std::shared_ptr<TShared>& self);
  void DeliverOnMain();
};

void THostResolver::TShared::Run(const std::shared_ptr<TShared>& self) {
  std::unique_lock lock(Lock);
  for (;;) {
    ++Idle;
    Work.wait(lock, [&] { return Closed || !Queue.empty(); });
    --Idle;
    if (Closed) return;
    std::string host = std::move(Queue.front());
    Queue.pop_front();
    lock.unlock();
    TAnswer answer = Lookup(host);
    lock.lock();
    if (Closed) return;
    const bool first = Answers.empty();
    Answers.emplace_back(std::move(host), answer);
    if (first) {
      lock.unlock();
      // One step carries every answer that ends before it runs.
      Post([self] { self->DeliverOnMain(); });
      lock.lock();
    }
  }
}

void THostResolver::TShared::DeliverOnMain() {
  std::vector<std::pair<std::string, TAnswer>> answers;
  {
    const std::lock_guard lock(Lock);
    answers.swap(Answers);
  }
  for (const auto& [host, answer] : answers) {
    if (!Owner) return;
    Owner->Deliver(host, answer);
  }
}

THostResolver::THostResolver(TDone done, TLookup lookup, TPost post, TClock clock)
    : done_(std::move(done)), clock_(std::move(clock)), shared_(std::make_shared<TShared>()) {
  shared_->Lookup = lookup ? std::move(lookup) : TLookup(&TNetStack::FirstIPv4Address);
  shared_->Post = post ? std::move(post) : TPost([](std::function<void()> step) { THandOff::Instance().Post(std::move(step)); });
  shared_->Owner = this;
  // Grown once, here: a rehash on the main thread would cost it milliseconds
  // in the middle of a burst.
  inFlight_.reserve(kMostPending);
  kept_.reserve(kKeepMost);
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
}

THostResolver::~THostResolver() {
  shared_->Owner = nullptr;
  {
    const std::lock_guard lock(shared_->Lock);
    shared_->Closed = true;
  }
  shared_->Work.notify_all();
}

THostResolver::TAnswer THostResolver::Literal(std::string_view host) {
  constexpr std::string_view localhost = "localhost";
  if (std::ranges::equal(host, localhost, [](char a, char b) { return (a | 0x20) == b; }))
    return TNetAddressBytes{127, 0, 0, 1};
  if (TNetStack::IsDottedQuad(host)) return TNetStack::DottedToBytes(host);
  return std::nullopt;
}

std::optional<THostResolver::TAnswer> THostResolver::Kept(std::string_view host) {
  const auto found = kept_.find(std::string(host));
  if (found == kept_.end()) return std::nullopt;
  if (clock_() >= found->second.Until) {
    kept_.erase(found);
    return std::nullopt;
  }
  return found->second.Answer;
}

void THostResolver::Resolve(std::string_view host) {
  std::string name(host);
  if (inFlight_.contains(name)) return;
  {
    std::unique_lock lock(shared_->Lock);
    shared_->Queue.push_back(name);
    if (shared_->Queue.size() > shared_->Idle && shared_->Workers < kWorkers) {
      try {
        std::thread([shared = shared_] { shared->Run(shared); }).detach();
        ++shared_->Workers;
      } catch (const std::system_error&) {
        // With no worker at all the name would wait for good.
        if (shared_->Workers == 0) {
          shared_->Queue.pop_back();
          throw;
        }
      }
    }
  }
  shared_->Work.notify_one();
  inFlight_.insert(std::move(name));
}

void THostResolver::Keep(const std::string& host, const TAnswer& answer) {
  const auto until = clock_() + (answer ? std::chrono::steady_clock::duration(kKeepFound)
                                        : std::chrono::steady_clock::duration(kKeepFailed));
  kept_[host] = TKept{answer, until, ++serial_};
  keptOrder_.emplace_back(host, serial_);
  // Names that were kept again, or forgotten as stale, leave entries behind
  // here: they are passed over, and the list never grows past twice the bound.
  while (kept_.size() > kKeepMost || keptOrder_.size() > 2 * kKeepMost) {
    const auto& [name, serial] = keptOrder_.front();
    const auto found = kept_.find(name);
    if (found != kept_.end() && found->second.Serial == serial) kept_.erase(found);
    keptOrder_.pop_front();
  }
}

void THostResolver::Deliver(const std::string& host, const TAnswer& answer) {
  inFlight_.erase(host);
  Keep(host, answer);
  if (done_) done_(host, answer);
}

}  // namespace tarvix
