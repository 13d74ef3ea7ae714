#include "core/app/event_log.h"

#include <cstdarg>
#include <cstdio>
#include <fstream>

#include "core/app.h"

namespace quillon {

size_t EventLog::Add(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(line);
  return lines_.size() - 1;
}

void EventLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

size_t EventLog::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.size();
}

std::vector<std::string> EventLog::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> EventLog::LinesFrom(size_t first) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (first >= lines_.size()) return {};
  return std::vector<std::string>(lines_.begin() + static_cast<std::ptrdiff_t>(first),
                                  lines_.end());
}

void AddLogText(App& app, const std::string& text) {
  app.log.Add(text);
  app.host.OnLogLineAdded(text);
}

void LogLine(App& app, int errorCode, const char* format, ...) {
  // vsnprintf cuts at the buffer's end, so an over-long line is shortened
  // to LOG_LINE_MAX characters instead of running past the buffer.
  char line[LOG_LINE_MAX + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  AddLogText(app, line);
  if (errorCode == 0) return;
  std::string text = app.host.SystemErrorText(errorCode);
  if (!text.empty()) AddLogText(app, text);
}

void ClearLog(App& app) {
  app.log.Clear();
  app.host.OnLogCleared();
}

bool ExportLog(App& app, bool selectedOnly, std::string* path) {
  std::string name;
  if (!app.host.CreateTempFile("qcl", name)) {
    app.host.Beep();
    return false;
  }
  std::ofstream file(name, std::ios::binary | std::ios::trunc);
  if (!file) {
    app.host.Beep();
    return false;
  }
  std::vector<std::string> lines = app.log.Lines();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (selectedOnly && !app.host.IsLogLineSelected(i)) continue;
    // The file is a text file of the PC's kind: every line ends CR LF, the
    // last one too, whatever the platform's own convention.
    file << lines[i] << "\r\n";
  }
  file.close();
  if (path) *path = name;
  app.host.OpenInViewer(name);
  return true;
}

}  // namespace quillon
