// Local time with its UTC offset, from the standard library alone: the
// offset is the difference between the local and the UTC calendar fields
// of the same instant.
#include "cli/clock_text.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace quillon::cli {

namespace {

const auto g_start = std::chrono::steady_clock::now();
// localtime and gmtime share one buffer; the ports' threads take turns.
std::mutex g_timeMutex;

// Days since 1970-01-01 of a calendar date (proleptic Gregorian).
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
  year -= month <= 2;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

long long SecondsOf(const std::tm& t) {
  return DaysFromCivil(t.tm_year + 1900LL, static_cast<unsigned>(t.tm_mon + 1),
                       static_cast<unsigned>(t.tm_mday)) *
             86400 +
         t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

}  // namespace

std::string IsoLocalTime(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const long long sinceEpoch = floor<milliseconds>(when.time_since_epoch()).count();
  const long long millis = ((sinceEpoch % 1000) + 1000) % 1000;
  const auto seconds = static_cast<std::time_t>((sinceEpoch - millis) / 1000);
  std::tm local{}, utc{};
  {
    std::lock_guard<std::mutex> lock(g_timeMutex);
    // One buffer serves both: each result is copied before the next call.
    if (const std::tm* l = std::localtime(&seconds)) local = *l;
    if (const std::tm* u = std::gmtime(&seconds)) utc = *u;
  }
  const long long offsetMinutes = (SecondsOf(local) - SecondsOf(utc)) / 60;
  const long long absolute = std::llabs(offsetMinutes);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02lld:%02lld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis % 1000), offsetMinutes < 0 ? '-' : '+',
                absolute / 60, absolute % 60);
  return text;
}

double SecondsSinceStart() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
}

}  // namespace quillon::cli
