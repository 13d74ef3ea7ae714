// Bitmap listings come from any text file the user picks; the converter must
// take every byte sequence without fault and never make more bytes than the
// listing has markers and digits for.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/transfer/file_send.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string bytes = quillon::ConvertBitmapText(text);
  size_t markers = static_cast<size_t>(std::count(text.begin(), text.end(), 'x'));
  size_t digits = static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return quillon::IsHexDigit(c); }));
  if (bytes.size() > markers || 2 * bytes.size() > digits) std::abort();
  // Splitting the text after a line end must not change the result: pieces
  // never carry a marker across a line.
  size_t cut = text.find('\n');
  if (cut != std::string::npos) {
    std::string joined = quillon::ConvertBitmapText(text.substr(0, cut + 1)) +
                         quillon::ConvertBitmapText(text.substr(cut + 1));
    if (joined != bytes) std::abort();
  }
  return 0;
}
