// The POSIX host's error texts.
#pragma once

#include <string>

namespace quillon::posix {

// The system's text for an errno value; empty for 0.
std::string SystemErrorText(int code);

}  // namespace quillon::posix
