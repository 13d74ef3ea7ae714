// Text that reaches a terminal: what the readout sent and what the user
// named may hold control characters (ESC[2J clears the screen, a newline
// forges a line), so they are shown as escapes instead of acted on.
#pragma once

#include <string>

namespace quillon::cli {

// Control characters (C0, DEL, and C1 in their UTF-8 form) as \n, \r, \t,
// \e or \xNN; all else, other UTF-8 included, unchanged.
std::string EscapeControls(const std::string& text);

}  // namespace quillon::cli
