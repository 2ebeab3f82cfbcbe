// Durations and points in time: which values the API accepts, their
// ordering and arithmetic, and their nanosecond counts as Cyclone takes them.
// The library turns Duration_t and Time into numbers here and nowhere else.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>

#include "quorvela/types.h"

namespace QUORVELA::detail {

constexpr int64_t kNsPerSec = 1000000000;
// The nanosecond count of the infinite duration and of the infinite time
// (Cyclone's DDS_INFINITY and DDS_NEVER).
constexpr int64_t kInfiniteNs = std::numeric_limits<int64_t>::max();

// {0x7fffffff, 0xffffffff}; any other value with those seconds is finite.
constexpr bool is_infinite(const Duration_t& d) {
  return d.sec == DURATION_INFINITE_SEC && d.nanosec == DURATION_INFINITE_NSEC;
}
constexpr bool is_infinite(const Time& t) { return t.sec == DURATION_INFINITE_SEC && t.nanosec == DURATION_INFINITE_NSEC; }

// What the API accepts: the infinite value, or seconds >= 0 with nanoseconds
// below 10^9.
constexpr bool is_valid(const Duration_t& d) {
  return is_infinite(d) || (d.sec >= 0 && d.nanosec < static_cast<uint32_t>(kNsPerSec));
}
constexpr bool is_valid(const Time& t) {
  return is_infinite(t) || (t.sec >= 0 && t.nanosec < static_cast<uint32_t>(kNsPerSec));
}

// Nanoseconds; kInfiniteNs for the infinite value. Exact for every valid
// value (the largest finite one is below 2^61).
constexpr int64_t to_ns(const Duration_t& d) {
  return is_infinite(d) ? kInfiniteNs : static_cast<int64_t>(d.sec) * kNsPerSec + static_cast<int64_t>(d.nanosec);
}
constexpr int64_t to_ns(const Time& t) {
  return is_infinite(t) ? kInfiniteNs : static_cast<int64_t>(t.sec) * kNsPerSec + static_cast<int64_t>(t.nanosec);
}

// Back from nanoseconds: kInfiniteNs, and counts beyond the largest finite
// value, give the infinite value; negative counts give zero.
constexpr Duration_t to_duration(int64_t ns) {
  constexpr int64_t kLargestFinite = static_cast<int64_t>(DURATION_INFINITE_SEC) * kNsPerSec + (kNsPerSec - 1);
  if (ns > kLargestFinite) return DURATION_INFINITE;
  if (ns < 0) return DURATION_ZERO;
  return Duration_t{static_cast<int32_t>(ns / kNsPerSec), static_cast<uint32_t>(ns % kNsPerSec)};
}
constexpr Time to_time(int64_t ns) {
  const Duration_t d = to_duration(ns);
  return Time{d.sec, d.nanosec};
}

// a < b, the infinite duration the largest.
constexpr bool less(const Duration_t& a, const Duration_t& b) { return to_ns(a) < to_ns(b); }

// a + b, held at the ends of the int64_t range (so kInfiniteNs plus a
// positive count stays kInfiniteNs).
constexpr int64_t add_ns(int64_t a, int64_t b) {
  if (b > 0 && a > kInfiniteNs - b) return kInfiniteNs;
  if (b < 0 && a < std::numeric_limits<int64_t>::min() - b) return std::numeric_limits<int64_t>::min();
  return a + b;
}

// What is left of `d` after `spent_ns`: never below zero; infinite stays so.
constexpr Duration_t remaining(const Duration_t& d, int64_t spent_ns) {
  if (is_infinite(d)) return d;
  return to_duration(to_ns(d) - spent_ns);
}

// A finite duration as a std::chrono duration (use only when not infinite).
inline std::chrono::nanoseconds to_chrono(const Duration_t& d) { return std::chrono::nanoseconds(to_ns(d)); }

}  // namespace QUORVELA::detail
