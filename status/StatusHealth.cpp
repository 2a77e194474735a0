#include "status/StatusHealth.h"

namespace tarvix {

namespace {

constexpr auto kAlive = std::chrono::seconds(5);

void Add(std::string& problem, const char* what) {
  if (!problem.empty()) problem += ", ";
  problem += what;
}

void AddLiveness(std::string& problem, const TStatusSnapshot& s, std::chrono::steady_clock::time_point now) {
  if (!s.SchedulerPass) Add(problem, "scheduler not running");
  else if (now - *s.SchedulerPass > kAlive) Add(problem, "scheduler stalled");
  // The main thread publishes at least every second; older means it hangs.
  if (now - s.TakenAt > kAlive) Add(problem, "main thread not answering");
}

}  // namespace

std::string HealthProblem(const TStatusSnapshot* s, std::chrono::steady_clock::time_point now) {
  if (!s) return "no status yet";
  std::string problem;
  if (s->Serial == TSerialState::Lost) Add(problem, "serial port lost");
  else if (s->Serial == TSerialState::Closed) Add(problem, "serial port closed");
  if (!s->UdpBound) Add(problem, "UDP server not bound");
  AddLiveness(problem, *s, now);
  return problem;
}

std::string LivenessProblem(const TStatusSnapshot* s, std::chrono::steady_clock::time_point now) {
  if (!s) return "no status yet";
  std::string problem;
  AddLiveness(problem, *s, now);
  return problem;
}

}  // namespace tarvix
