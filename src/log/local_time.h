// Local time as the record and the command line's JSON show it.
#pragma once

#include <ctime>
#include <string>

namespace orvik {

// "2026-12-08T09:41:05+01:00": `when` in the local time zone, with its UTC
// offset. Empty when the time cannot be broken down.
std::string IsoLocalTime(std::time_t when);

}  // namespace orvik
