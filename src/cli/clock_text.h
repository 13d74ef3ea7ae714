// Times as the records write them: the local date and time to the
// millisecond with its offset from UTC (ISO 8601), and the seconds since
// the program started that the JSON events carry.
#pragma once

#include <chrono>
#include <string>

namespace quillon::cli {

// "2026-12-07T19:04:05.123+01:00".
std::string IsoLocalTime(std::chrono::system_clock::time_point when);
inline std::string IsoLocalNow() { return IsoLocalTime(std::chrono::system_clock::now()); }

// Seconds since the program started, with millisecond resolution.
double SecondsSinceStart();

}  // namespace quillon::cli
