// The event log's lines and the formatted log line.
#include "core/log/event_log.h"

#include <cstdarg>
#include <cstdio>

#include "core/host.h"
#include "core/jobs.h"

namespace quillon {

void EventLog::Add(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
  }
  observer_.OnLogLine(line);
}

void EventLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

size_t EventLog::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.size();
}

std::vector<std::string> EventLog::Lines(size_t first) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (first >= lines_.size()) return {};
  return std::vector<std::string>(lines_.begin() + static_cast<std::ptrdiff_t>(first), lines_.end());
}

std::string EventLog::ErrorText(int code) { return host_.SystemErrorText(code); }

void LogLine(EventLog& log, int errorCode, const char* format, ...) {
  // vsnprintf cuts at the buffer's end, so an over-long line is shortened
  // to LOG_LINE_MAX characters instead of running past the buffer.
  char line[LOG_LINE_MAX + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  log.Add(line);
  if (errorCode == 0) return;
  std::string text = log.ErrorText(errorCode);
  if (!text.empty()) log.Add(text);
}

}  // namespace quillon
