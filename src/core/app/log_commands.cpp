// Clearing and exporting the event log.
#include "core/app/log_commands.h"

#include <fstream>

#include "core/app/app.h"

namespace quillon {

void ClearLog(App& app) {
  app.engine.Log().Clear();
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
  uint64_t dropped = 0;
  std::vector<std::string> lines = app.engine.Log().Lines(0, &dropped);
  // The file is a text file of the PC's kind: every line ends CR LF, the
  // last one too, whatever the platform's own convention. A log that let
  // its oldest lines go says so first.
  if (dropped > 0) file << DroppedLinesText(dropped) << "\r\n";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (selectedOnly && !app.host.IsLogLineSelected(dropped + i)) continue;
    file << lines[i] << "\r\n";
  }
  file.close();
  if (path) *path = name;
  app.host.OpenInViewer(name);
  return true;
}

}  // namespace quillon
