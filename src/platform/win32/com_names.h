// The names Windows gives serial ports: COM and a number, in any case.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>

namespace quillon::win32 {

inline std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

inline bool IsComName(const std::string& name) {
  if (name.size() < 4 || UpperCase(name.substr(0, 3)) != "COM") return false;
  return std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace quillon::win32
