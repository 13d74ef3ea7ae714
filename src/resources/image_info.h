// What the build put into the program for each firmware image: the real
// file given at configure time, or a generated placeholder that must never
// reach a real readout unasked.
#pragma once

#include <string>

namespace quillon {

// True for IMAGE_BOOTLOADER / IMAGE_SOFTWARE when the build generated a
// placeholder in its place; false for a real image and for any other name.
bool EmbeddedImageIsPlaceholder(const std::string& name);
// True when either embedded image is a placeholder.
bool AnyEmbeddedImageIsPlaceholder();

}  // namespace quillon
