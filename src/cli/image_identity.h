// Which image a download sends, said before its first byte: the built-in
// image's name or the user's file, its size and SHA-256, and whether it is
// a placeholder the build generated in place of the readout's firmware.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {
class ImageSource;
}

namespace quillon::cli {

struct ImageIdentity {
  std::string name;          // ZYN_BOOTLOADER, or the user's file as given
  bool builtIn = true;       // false: a file given with --image
  bool placeholder = false;  // a built-in placeholder
  uint64_t size = 0;
  std::string sha256;
};

ImageIdentity IdentifyImage(const std::string& name, bool builtIn,
                            const std::vector<uint8_t>& bytes);
// "Image: ZYN_BOOTLOADER (built in, placeholder), 30356 bytes, SHA-256 ...".
std::string IdentityLine(const ImageIdentity& image);
// The start event's fields, each preceded by a comma.
std::string IdentityJsonFields(const ImageIdentity& image);
// Why a placeholder is not sent without --allow-placeholder.
std::string PlaceholderRefusal(const std::string& name);
// One line per built-in image for --version (none without images).
std::string BuiltInImageLines(ImageSource* images);

}  // namespace quillon::cli
