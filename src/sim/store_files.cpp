// The simulated readout's files.
#include "sim/store_files.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace quillon::sim {

std::string StoreNameForKind(int kind) {
  switch (kind) {
    case 24:
      return "bitmap.bin";
    case 25:
      return "settings.bin";
    case 26:
      return "program.bin";
    default:
      return "binary.bin";
  }
}

bool WriteAside(const std::string& path, const std::vector<uint8_t>& content) {
  const std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) return false;
  }
  std::error_code error;
  std::filesystem::rename(temp, path, error);
  return !error;
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>* content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace quillon::sim
