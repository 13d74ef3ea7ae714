// The progress bar and plain progress lines of the command line.
#include "cli/progress.h"

#include <algorithm>
#include <cstdio>

namespace quillon::cli {

std::string HumanBytes(double bytes) {
  char text[32];
  if (bytes < 1000.0) {
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  } else if (bytes < 1000.0 * 1000.0) {
    std::snprintf(text, sizeof text, "%.1f kB", bytes / 1000.0);
  } else {
    std::snprintf(text, sizeof text, "%.1f MB", bytes / (1000.0 * 1000.0));
  }
  return text;
}

std::string HumanDuration(double seconds) {
  if (seconds < 0) seconds = 0;
  auto whole = static_cast<unsigned long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lu:%02lu", whole / 60, whole % 60);
  }
  return text;
}

namespace {

bool IsBytes(const std::string& unit) { return unit == "bytes"; }

std::string Amount(uint64_t n, const std::string& unit) {
  return IsBytes(unit) ? HumanBytes(static_cast<double>(n)) : std::to_string(n);
}

}  // namespace

std::string FormatProgressBar(uint64_t done, uint64_t total, const std::string& unit,
                              double elapsedSeconds, int width) {
  if (width < 1) width = 1;
  double fraction = total == 0 ? 0.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
  int filled = static_cast<int>(fraction * width);
  std::string bar = "[";
  for (int i = 0; i < width; ++i) {
    if (i < filled) {
      bar += '=';
    } else if (i == filled && fraction < 1.0) {
      bar += '>';
    } else {
      bar += ' ';
    }
  }
  bar += ']';
  char text[160];
  std::snprintf(text, sizeof text, "%s %3d%%  %s/%s%s", bar.c_str(),
                static_cast<int>(fraction * 100.0), Amount(done, unit).c_str(),
                Amount(total, unit).c_str(), IsBytes(unit) ? "" : (" " + unit).c_str());
  std::string line = text;
  // A wait counted in seconds has no rate and no time left to speak of.
  if (elapsedSeconds > 0.5 && done > 0 && unit != "seconds") {
    double rate = static_cast<double>(done) / elapsedSeconds;
    line += "  ";
    line += IsBytes(unit) ? HumanBytes(rate) : Amount(static_cast<uint64_t>(rate), unit) + " " + unit;
    line += "/s";
    if (done < total) {
      line += "  " + HumanDuration(static_cast<double>(total - done) / rate) + " left";
    }
  }
  return line;
}

std::string FormatProgressLine(uint64_t done, uint64_t total, const std::string& unit) {
  int percent = total == 0 ? 0 : static_cast<int>(std::min<uint64_t>(done, total) * 100 / total);
  char text[96];
  std::snprintf(text, sizeof text, "progress: %d%% (%llu of %llu %s)", percent,
                static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                unit.c_str());
  return text;
}

int TenthTracker::Update(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  uint64_t clamped = std::min(done, total);
  int tenth = static_cast<int>(clamped * 10 / total);
  if (tenth <= lastTenth_) return 0;
  lastTenth_ = tenth;
  return tenth;
}

}  // namespace quillon::cli
