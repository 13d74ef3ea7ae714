#include "core/boot/image_file.h"

#include <fstream>

namespace quillon {

int FileImageSource::Lookup(const std::string& name, const uint8_t** data, size_t* size) {
  auto path = paths_.find(name);
  if (path == paths_.end()) return fallback_ ? fallback_->Lookup(name, data, size) : 1;

  std::ifstream file(path->second, std::ios::binary | std::ios::ate);
  if (!file) return 1;
  const std::streamoff length = file.tellg();
  if (length < 0) return 3;
  *size = static_cast<size_t>(length);
  if (length == 0) return 2;
  std::vector<uint8_t>& bytes = loaded_[name];
  bytes.assign(static_cast<size_t>(length), 0);
  file.seekg(0);
  if (!file.read(reinterpret_cast<char*>(bytes.data()), length)) {
    bytes.clear();
    return 3;
  }
  *data = bytes.data();
  return 0;
}

}  // namespace quillon
