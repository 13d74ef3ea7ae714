// The command line's JSON events carry the readout's own words and file
// names: whatever the bytes, the string is valid JSON and decodes to them.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/reporter.h"

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A strict reader of one JSON string; false when it is not one. Code points
// above 0xFF cannot come from single bytes, so they count as failures too.
bool Decode(const std::string& json, std::string* out) {
  if (json.size() < 2 || json.front() != '"' || json.back() != '"') return false;
  for (size_t i = 1; i + 1 < json.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(json[i]);
    if (c < 0x20 || c >= 0x80 || c == '"') return false;  // raw bytes stay ASCII
    if (c != '\\') {
      *out += static_cast<char>(c);
      continue;
    }
    if (i + 1 >= json.size() - 1) return false;  // a backslash right before the closing quote
    ++i;
    switch (json[i]) {
      case '"':
        *out += '"';
        break;
      case '\\':
        *out += '\\';
        break;
      case '/':
        *out += '/';
        break;
      case 'b':
        *out += '\b';
        break;
      case 'f':
        *out += '\f';
        break;
      case 'n':
        *out += '\n';
        break;
      case 'r':
        *out += '\r';
        break;
      case 't':
        *out += '\t';
        break;
      case 'u': {
        if (i + 4 >= json.size() - 1) return false;
        int value = 0;
        for (int k = 1; k <= 4; ++k) {
          int digit = Hex(json[i + k]);
          if (digit < 0) return false;
          value = value * 16 + digit;
        }
        if (value > 0xFF) return false;
        *out += static_cast<char>(value);
        i += 4;
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string decoded;
  if (!Decode(quillon::cli::JsonString(text), &decoded) || decoded != text) std::abort();
  return 0;
}
