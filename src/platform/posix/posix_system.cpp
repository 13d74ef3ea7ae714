// Error texts on POSIX systems.
#include "platform/posix/posix_system.h"

#include <cstring>

namespace quillon::posix {

namespace {

// strerror_r comes in two kinds (GNU returns the text, XSI fills the buffer);
// these two overloads take whichever the C library has.
[[maybe_unused]] std::string ErrorText(const char* text, const char*) { return text; }
[[maybe_unused]] std::string ErrorText(int rc, const char* buffer) {
  return rc == 0 ? std::string(buffer) : std::string();
}

}  // namespace

std::string SystemErrorText(int code) {
  if (code == 0) return std::string();
  char buffer[256] = {};
  return ErrorText(::strerror_r(code, buffer, sizeof buffer), buffer);
}

}  // namespace quillon::posix
