// The event log's commands: clearing it and exporting it to a text file.
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

#include <string>

namespace quillon {

struct App;

// Clears the log (command 1001).
void ClearLog(App& app);
// Writes all or the selected lines to a new temporary file, each ended by
// CR LF, and opens it in the viewer. The path written goes to *path.
// Returns false (after a beep) when no file could be made.
bool ExportLog(App& app, bool selectedOnly, std::string* path = nullptr);

}  // namespace quillon
