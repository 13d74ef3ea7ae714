// The firmware images as resources of the program's own module (type
// "EMBEDDED_FILE", the .rc generated from src/resources/images.rc.in).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/boot/image_download.h"

namespace quillon {

class Win32ResourceImages : public ImageSource {
 public:
  // FindResourceA, SizeofResource, LoadResource, LockResource in turn; the
  // failing step's number (1-4) otherwise. Resource data lives as long as
  // the module, so the pointer stays valid.
  int Lookup(const std::string& name, const uint8_t** data, size_t* size) override;
};

}  // namespace quillon
