// Naming the image a download sends.
#include "cli/image_identity.h"

#include "cli/reporter.h"
#include "cli/text_escape.h"
#include "core/engine/image_source.h"
#include "core/sha256.h"
#include "resources/image_info.h"

namespace quillon::cli {

ImageIdentity IdentifyImage(const std::string& name, bool builtIn,
                            const std::vector<uint8_t>& bytes) {
  ImageIdentity image;
  image.name = name;
  image.builtIn = builtIn;
  image.placeholder = builtIn && EmbeddedImageIsPlaceholder(name);
  image.size = bytes.size();
  image.sha256 = Sha256Hex(bytes.data(), bytes.size());
  return image;
}

std::string IdentityLine(const ImageIdentity& image) {
  const char* origin = !image.builtIn      ? "file"
                       : image.placeholder ? "built in, placeholder"
                                           : "built in, real";
  return "Image: " + EscapeControls(image.name) + " (" + origin + "), " +
         std::to_string(image.size) + " bytes, SHA-256 " + image.sha256;
}

std::string IdentityJsonFields(const ImageIdentity& image) {
  return ",\"image\":" + JsonString(image.name) +
         ",\"source\":" + (image.builtIn ? "\"built-in\"" : "\"file\"") +
         ",\"placeholder\":" + (image.placeholder ? "true" : "false") +
         ",\"size\":" + std::to_string(image.size) + ",\"sha256\":\"" + image.sha256 + "\"";
}

std::string PlaceholderRefusal(const std::string& name) {
  return "not sent: the built-in " + name +
         " is a placeholder this build generated, not the readout's firmware; on a real readout "
         "it would be written as garbage.\n"
         "  Build with the real images: cmake -DQUILLON_BOOTLOADER_IMAGE=FILE "
         "-DQUILLON_SOFTWARE_IMAGE=FILE (scripts/package.sh passes both on).\n"
         "  Send a file of your own with --image FILE; send the placeholder anyway (a simulator) "
         "with --allow-placeholder.";
}

std::string BuiltInImageLines(ImageSource* images) {
  std::string lines;
  if (!images) return lines;
  for (const char* name : {IMAGE_BOOTLOADER, IMAGE_SOFTWARE}) {
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (images->Lookup(name, &data, &size) != ImageLookup::FOUND) {
      lines += std::string(name) + "  missing\n";
      continue;
    }
    lines += std::string(name) + "  " + std::to_string(size) + " bytes  SHA-256 " +
             Sha256Hex(data, size) + "  " +
             (EmbeddedImageIsPlaceholder(name) ? "placeholder" : "real") + "\n";
  }
  return lines;
}

}  // namespace quillon::cli
