// A private network for a test: a child process in network and mount
// namespaces of its own, with only a loopback interface and a name server
// on 127.0.0.1 that takes queries and never answers. The child gives its
// verdict as text; the parent reads it.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tarvix::test {

// The verdicts a child gives besides a failure's text.
inline constexpr const char* kPassed = "passed";
inline constexpr const char* kSkipPrefix = "skip: ";

// Moves this (single-threaded, forked) process into a network namespace of
// its own with only a loopback interface, and a mount namespace in which
// /etc/resolv.conf names a server on 127.0.0.1 that takes queries and never
// answers (each look-up gives up after 10 s). Returns the server's socket,
// or -1 with the reason in why.
int EnterNetworkWithSilentResolver(std::string& why);

// Runs child in a forked process and returns its verdict; what it has not
// said within limit is lost (the child is killed then).
std::string VerdictOfChild(const std::function<std::string()>& child, std::chrono::milliseconds limit);

}  // namespace tarvix::test
