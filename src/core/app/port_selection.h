// Which port number the guide opens: command line, platform detection, or
// the port-number dialog.
#pragma once

namespace quillon {

struct App;

// Resolution at start-up; returns the number shown in control 1000.
unsigned ResolvePortNumber(App& app);

}  // namespace quillon
