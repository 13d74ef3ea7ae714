// The two firmware images linked into the program itself, for the portable
// programs (and any build that does not use Windows resources).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/engine/image_source.h"

namespace quillon {

class EmbeddedImages : public ImageSource {
 public:
  // IMAGE_BOOTLOADER or IMAGE_SOFTWARE; NOT_FOUND for any other name.
  ImageLookup Lookup(const std::string& name, const uint8_t** data, size_t* size) override;
};

}  // namespace quillon
