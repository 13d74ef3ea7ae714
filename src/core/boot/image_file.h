// Images the user gives as files, in place of the ones the program carries:
// a real firmware file on a build that has only the placeholders, or a
// newer release. Set as App::images, it serves every start (the guide,
// commands 1015 and 1019) alike.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/boot/image_download.h"

namespace quillon {

class FileImageSource : public ImageSource {
 public:
  // fallback (may be null) answers for names that have no file.
  explicit FileImageSource(ImageSource* fallback = nullptr) : fallback_(fallback) {}
  // Serves the named image (IMAGE_BOOTLOADER, IMAGE_SOFTWARE) from path.
  void SetFile(const std::string& name, const std::string& path) { paths_[name] = path; }

  // The file is read anew at each lookup, so a file replaced between two
  // runs is sent as it now is. 1 when it cannot be opened, 2 when empty,
  // 3 when it cannot be read whole.
  int Lookup(const std::string& name, const uint8_t** data, size_t* size) override;

 private:
  ImageSource* fallback_;
  std::map<std::string, std::string> paths_;
  std::map<std::string, std::vector<uint8_t>> loaded_;
};

}  // namespace quillon
