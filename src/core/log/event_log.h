// The event log: the running record of what one engine does. Front ends show
// the lines as they come; the log itself keeps a bounded history of them
// behind a lock, so a run of days with the readout logging all the while
// does not grow without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "core/jobs.h"

namespace quillon {

class Host;
class EngineObserver;

// A formatted line holds at most this many characters; longer ones are cut.
constexpr size_t LOG_LINE_MAX = 1023;

class EventLog {
 public:
  EventLog(Host& host, EngineObserver& observer, size_t keep = LOG_KEEP_DEFAULT)
      : host_(host), observer_(observer), keep_(keep) {}
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Adds one line and tells the observer. Safe from any thread.
  void Add(const std::string& line);
  void Clear();
  // The log keeps at least the last `keep` lines and at most a quarter more:
  // past that it lets the oldest go down to `keep`, a quarter at a time, so a
  // list that mirrors it is rebuilt seldom. 0 keeps none.
  void SetKeep(size_t keep);
  size_t Count() const;      // lines kept
  uint64_t Dropped() const;  // lines let go since the last Clear
  // The kept lines numbered from `from` on; lines count from the last Clear,
  // so the oldest kept one is number Dropped(). *dropped gets that number.
  std::vector<std::string> Lines(uint64_t from = 0, uint64_t* dropped = nullptr) const;
  // The system's text for an error code (empty when it has none).
  std::string ErrorText(int code);

 private:
  Host& host_;
  EngineObserver& observer_;
  mutable std::mutex mutex_;
  size_t keep_;
  std::deque<std::string> lines_;
  uint64_t dropped_ = 0;
};

// The line that stands for the lines a log let go: "N earlier lines were dropped."
std::string DroppedLinesText(uint64_t dropped);

// Formats one line (printf conventions, cut to LOG_LINE_MAX) and adds it; a
// nonzero errorCode adds the system's text for it as a second line.
void LogLine(EventLog& log, int errorCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace quillon
