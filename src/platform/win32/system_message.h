// The system's own text for an error code, as FormatMessage words it.
#pragma once

#include <windows.h>

#include <string>

namespace quillon::win32 {

// With the line end the system puts after it; empty when the system has no
// text for the code. Inserts are ignored: texts with %1 and the like would
// otherwise read arguments that are not there.
inline std::string SystemMessage(DWORD code, DWORD language) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, language, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length && text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  return result;
}

}  // namespace quillon::win32
