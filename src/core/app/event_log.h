// The event log: the program's running record of what it does. The lines
// live here, behind a lock, from start-up on; the host only shows them.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace quillon {

struct App;

// A formatted line holds at most this many characters; longer ones are cut.
constexpr size_t LOG_LINE_MAX = 1023;

class EventLog {
 public:
  // Adds one line and returns its index. Safe from any thread.
  size_t Add(const std::string& line);
  void Clear();
  size_t Count() const;
  std::vector<std::string> Lines() const;
  // The lines from index first on (none when first is past the end), so a
  // viewer can append what is new without copying the whole log.
  std::vector<std::string> LinesFrom(size_t first) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Formats one line (printf conventions, cut to LOG_LINE_MAX) and adds it; a
// nonzero errorCode adds the system's text for it as a second line.
void LogLine(App& app, int errorCode, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Adds a finished text as it stands: no formatting, so a % is kept.
void AddLogText(App& app, const std::string& text);
// Clears the log (command 1001).
void ClearLog(App& app);
// Writes all or the selected lines to a new temporary file, each ended by
// CR LF, and opens it in the viewer. The path written goes to *path.
// Returns false (after a beep) when no file could be made.
bool ExportLog(App& app, bool selectedOnly, std::string* path = nullptr);

}  // namespace quillon
