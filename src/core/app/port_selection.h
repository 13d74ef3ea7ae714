// Which port number the guide opens: command line, platform detection, or
// the port-number dialog.
#pragma once

#include <string>

namespace quillon {

struct App;

// Resolution at start-up; returns the number shown in control 1000.
unsigned ResolvePortNumber(App& app);

// The number in a port name as the bridge's driver records it ("COM12"):
// the first three characters are skipped whatever they are, the rest read
// as a decimal number (0 when there is none).
int ParsePortName(const std::string& value);

}  // namespace quillon
