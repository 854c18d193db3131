#include "corvane/time.hpp"

#include <cstdio>

namespace corvane {

std::string formatTime(TimeStamp t) {
  if (t == kNever) return "never";
  using namespace std::chrono;
  constexpr std::int64_t kTicksPerSecond = Ticks::period::den;
  constexpr std::int64_t kTicksPerDay = kTicksPerSecond * 86'400;
  std::int64_t ticks = t.time_since_epoch().count();
  // Floor division, so times before 1970 still get a time of day in [0, 24 h).
  std::int64_t dayCount = ticks / kTicksPerDay;
  std::int64_t rest = ticks % kTicksPerDay;
  if (rest < 0) {
    rest += kTicksPerDay;
    --dayCount;
  }
  const year_month_day date{sys_days{days{dayCount}}};
  const std::int64_t secondOfDay = rest / kTicksPerSecond;
  const std::int64_t fraction = rest % kTicksPerSecond;
  char text[64];
  int n =
      std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%07dZ", static_cast<int>(date.year()),
                    static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                    static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                    static_cast<int>(secondOfDay % 60), static_cast<int>(fraction));
  return std::string(text, static_cast<std::size_t>(n));
}

}  // namespace corvane
