// The main dialog's routing: every window message and command identifier
// reaches the part of the program that handles it from here. The front ends
// translate their own events into these calls.
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

#include <string>

#include "core/app/app.h"
#include "core/app/control_ids.h"

namespace quillon {

// The first "com", in any case and anywhere, followed by a decimal number
// selects the port.
void ParseCommandLine(App& app, std::string commandLine);

void OnInitDialog(App& app);
void OnCommand(App& app, int id);
// Close, Escape, the close box, Alt+F4 and the system menu's Close: ends the
// dialog with 0, after asking while a download or an erase runs.
void RequestClose(App& app);
// Every 100 ms tick: the indicator, then the status line and the timeouts.
void OnTimer(App& app);
void OnDestroy(App& app);

}  // namespace quillon
