// Where the firmware images come from: resources on Windows, data linked
// into the binary elsewhere, a file the user gave, or a test's bytes. The
// engine takes an image as bytes; its front ends find them here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {

inline constexpr const char* IMAGE_BOOTLOADER = "ZYN_BOOTLOADER";
inline constexpr const char* IMAGE_SOFTWARE = "ZYN_SOFTWARE";

// How a lookup went; after FOUND the steps are in the order they fail in.
// The dialog's error numbers are these values (NOT_FOUND is 1).
enum class ImageLookup : int { FOUND = 0, NOT_FOUND, EMPTY, CANNOT_LOAD, CANNOT_LOCK };

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // FOUND fills data and size. On CANNOT_LOAD and CANNOT_LOCK *size holds
  // the size when it is known. The data stays valid until the next Lookup;
  // Lookup is never called while a download runs.
  virtual ImageLookup Lookup(const std::string& name, const uint8_t** data, size_t* size) = 0;
};

}  // namespace quillon
