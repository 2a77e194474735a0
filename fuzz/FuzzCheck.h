// The fuzz targets' assertion: a broken property stops the run like a crash,
// so libFuzzer keeps the input that broke it. Unlike assert it stays in every
// build type. Any thread.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace tarvix::fuzz {

// Prints where and what, then aborts, when ok is false. The place is the
// caller's (file and line), which names the target.
inline void Check(bool ok, const char* what, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (ok) return;
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

}  // namespace tarvix::fuzz
