#pragma once
// Time stamps of the runtime: system-clock time points in 100 ns ticks, 64-bit signed. The
// smallest value means "has not happened yet".
#include <chrono>
#include <cstdint>
#include <ratio>
#include <string>

namespace corvane {
using Ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;
using TimeStamp = std::chrono::time_point<std::chrono::system_clock, Ticks>;
inline constexpr TimeStamp kNever = TimeStamp::min();

inline TimeStamp now() noexcept {
  return std::chrono::time_point_cast<Ticks>(std::chrono::system_clock::now());
}
// ISO 8601 in UTC with seven fractional digits, or "never" for kNever.
std::string formatTime(TimeStamp t);
}  // namespace corvane
