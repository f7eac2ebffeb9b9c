// The record's time stamps: local time with its UTC offset, for zones east
// and west of UTC and off the whole hour.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "app/cli/station_record.h"

namespace orvik::cli {
namespace {

// Sets TZ for the test's lifetime and restores it afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) m_old = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (m_old) {
      ::setenv("TZ", m_old->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> m_old;
};

TEST(RecordTime, IsLocalIso8601WithTheZonesOffset) {
  struct Case {
    const char* zone;  // POSIX TZ: the offset's sign is the other way round
    std::time_t when;
    const char* text;
  };
  for (const Case& c : {
           Case{"UTC0", 0, "1970-01-01T00:00:00+00:00"},
           Case{"IST-5:30", 0, "1970-01-01T05:30:00+05:30"},
           Case{"NST3:30", 0, "1969-12-31T20:30:00-03:30"},
           Case{"CET-1CEST,M3.5.0,M10.5.0/3", 1'814'700'000, "2027-07-04T13:20:00+02:00"},  // summer time
           Case{"CET-1CEST,M3.5.0,M10.5.0/3", 1'796'000'000, "2026-11-30T01:53:20+01:00"},
       }) {
    SCOPED_TRACE(c.zone);
    const ScopedTimeZone zone(c.zone);
    EXPECT_EQ(IsoLocalTime(c.when), c.text);
  }
}

}  // namespace
}  // namespace orvik::cli
