// Which port the guide opens (command line, platform detection, or the
// port-number dialog), and opening and closing it with the user told why
// an open failed.
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

#include <string>

namespace quillon {

struct App;

// Resolution at start-up; returns the number shown in control 1000.
unsigned ResolvePortNumber(App& app);

// The number in a port name as the bridge's driver records it ("COM12"):
// the first three characters are skipped whatever they are, the rest read
// as a decimal number (0 when there is none).
int ParsePortName(const std::string& value);

// Closes any open port, then opens COM<portNumber>; a failure is logged,
// beeped and shown in the warning box.
void OpenDevice(App& app, int portNumber);
void CloseDevice(App& app);

}  // namespace quillon
