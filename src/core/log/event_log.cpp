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
    if (keep_ == 0) {
      ++dropped_;
    } else {
      lines_.push_back(line);
      if (lines_.size() > keep_ + keep_ / 4) {
        const size_t excess = lines_.size() - keep_;
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(excess));
        dropped_ += excess;
      }
    }
  }
  observer_.OnLogLine(line);
}

void EventLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
  dropped_ = 0;
}

void EventLog::SetKeep(size_t keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keep_ = keep;
  if (lines_.size() <= keep) return;
  const size_t excess = lines_.size() - keep;
  lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(excess));
  dropped_ += excess;
}

size_t EventLog::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.size();
}

uint64_t EventLog::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

std::vector<std::string> EventLog::Lines(uint64_t from, uint64_t* dropped) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (dropped) *dropped = dropped_;
  const uint64_t first = from > dropped_ ? from - dropped_ : 0;
  if (first >= lines_.size()) return {};
  return std::vector<std::string>(lines_.begin() + static_cast<std::ptrdiff_t>(first), lines_.end());
}

std::string EventLog::ErrorText(int code) { return host_.SystemErrorText(code); }

std::string DroppedLinesText(uint64_t dropped) {
  return std::to_string(dropped) +
         (dropped == 1 ? " earlier line was dropped." : " earlier lines were dropped.");
}

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
