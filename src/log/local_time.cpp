#include "log/local_time.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "log/log_file.h"

namespace orvik {

std::string IsoLocalTime(std::time_t when) {
  std::tm local{};
  std::tm utc{};
  if (!BreakDownTime(when, true, local) || !BreakDownTime(when, false, utc)) return {};
  // The offset is the difference of the two broken-down times; strftime's %z
  // is not an offset everywhere (Windows' C library gives the zone's name).
  const auto seconds = [](const std::tm& t) {
    namespace c = std::chrono;
    const c::sys_days date{c::year{t.tm_year + 1900} / c::month{static_cast<unsigned>(t.tm_mon + 1)} /
                           c::day{static_cast<unsigned>(t.tm_mday)}};
    return date.time_since_epoch().count() * 86400LL + t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
  };
  const long long offset = seconds(local) - seconds(utc);
  // Zones lie within a day of UTC.
  const int magnitude = static_cast<int>(std::min(offset < 0 ? -offset : offset, 86399LL));
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+',
                magnitude / 3600, magnitude / 60 % 60);
  return text;
}

}  // namespace orvik
