// A firmware image read from a file the user named (--image), standing in
// for the image the program carries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/boot/image_download.h"

namespace quillon::cli {

class FileImageSource : public ImageSource {
 public:
  // Reads the whole file; false (with the reason) when it cannot be read.
  bool Load(const std::string& path, std::string* error);
  // Answers for either image name: the user chose this file for the run.
  int Lookup(const std::string& name, const uint8_t** data, size_t* size) override;

 private:
  bool loaded_ = false;
  std::vector<uint8_t> bytes_;
};

}  // namespace quillon::cli
