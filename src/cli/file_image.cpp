#include "cli/file_image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quillon::cli {

bool FileImageSource::Load(const std::string& path, std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  bytes_.clear();
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes_.insert(bytes_.end(), buffer, buffer + n);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    if (error) *error = path + ": read error";
    return false;
  }
  loaded_ = true;
  return true;
}

int FileImageSource::Lookup(const std::string&, const uint8_t** data, size_t* size) {
  if (!loaded_) return 1;
  if (bytes_.empty()) return 2;
  *data = bytes_.data();
  *size = bytes_.size();
  return 0;
}

}  // namespace quillon::cli
