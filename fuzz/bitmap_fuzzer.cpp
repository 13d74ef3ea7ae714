// Bitmap listings come from any text file the user picks: the converter
// takes every byte sequence without fault and never makes more bytes than
// the listing has markers and digit pairs for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/transfer/transfer_control.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string bytes = quillon::ConvertBitmapText(text);
  size_t markers = static_cast<size_t>(std::count(text.begin(), text.end(), 'x'));
  size_t digits = static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return quillon::IsHexDigit(c); }));
  if (2 * bytes.size() > size || bytes.size() > markers || 2 * bytes.size() > digits) std::abort();
  // A line's end ends every value: converting the text in two parts cut
  // after a line end gives the same bytes.
  size_t cut = text.find('\n');
  if (cut != std::string::npos) {
    std::string joined = quillon::ConvertBitmapText(text.substr(0, cut + 1)) +
                         quillon::ConvertBitmapText(text.substr(cut + 1));
    if (joined != bytes) std::abort();
  }
  return 0;
}
