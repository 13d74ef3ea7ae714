// The event log: the running record of what one engine does. The lines live
// here, behind a lock, from start-up on; front ends show them as they come.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace quillon {

class Host;
class EngineObserver;

// A formatted line holds at most this many characters; longer ones are cut.
constexpr size_t LOG_LINE_MAX = 1023;

class EventLog {
 public:
  EventLog(Host& host, EngineObserver& observer) : host_(host), observer_(observer) {}
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Adds one line and tells the observer. Safe from any thread.
  void Add(const std::string& line);
  void Clear();
  size_t Count() const;
  std::vector<std::string> Lines(size_t first = 0) const;
  // The system's text for an error code (empty when it has none).
  std::string ErrorText(int code);

 private:
  Host& host_;
  EngineObserver& observer_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Formats one line (printf conventions, cut to LOG_LINE_MAX) and adds it; a
// nonzero errorCode adds the system's text for it as a second line.
void LogLine(EventLog& log, int errorCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace quillon
