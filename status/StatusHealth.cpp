#include "status/StatusHealth.h"

namespace tarvix {

namespace {

constexpr auto kAlive = std::chrono::seconds(5);

}  // namespace

std::string HealthProblem(const TStatusSnapshot* s, std::chrono::steady_clock::time_point now) {
  if (!s) return "no status yet";
  std::string problem;
  auto add = [&](const char* what) {
    if (!problem.empty()) problem += ", ";
    problem += what;
  };
  if (s->Serial == TSerialState::Lost) add("serial port lost");
  else if (s->Serial == TSerialState::Closed) add("serial port closed");
  if (!s->UdpBound) add("UDP server not bound");
  if (!s->SchedulerPass) add("scheduler not running");
  else if (now - *s->SchedulerPass > kAlive) add("scheduler stalled");
  // The main thread publishes at least every second; older means it hangs.
  if (now - s->TakenAt > kAlive) add("main thread not answering");
  return problem;
}

}  // namespace tarvix
