// Checked arithmetic: counters that raise EIntOverflow past the 32-bit signed
// range, and conversions that raise ERangeError when a value does not fit the
// field that receives it. Pure functions; any thread.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <utility>

#include "runtime/Exception.h"

namespace tarvix {

// counter + 1, or EIntOverflow when counter is already INT32_MAX.
inline std::int32_t CheckedInc(std::int32_t counter) {
  if (counter == std::numeric_limits<std::int32_t>::max()) throw EIntOverflow();
  return counter + 1;
}

// a + b, or EIntOverflow outside the 32-bit signed range.
inline std::int32_t CheckedAdd(std::int32_t a, std::int32_t b) {
  std::int32_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) throw EIntOverflow();
  return sum;
}

// value converted to T, or ERangeError when it lies outside T's range.
template <std::integral T, std::integral V>
T RangeChecked(V value) {
  if (!std::in_range<T>(value)) throw ERangeError();
  return static_cast<T>(value);
}

// value, or ERangeError when it lies outside [low, high].
template <std::integral V>
V RangeChecked(V value, V low, V high) {
  if (value < low || value > high) throw ERangeError();
  return value;
}

}  // namespace tarvix
