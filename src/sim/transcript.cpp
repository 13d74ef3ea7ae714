// The simulator's record of the line, in memory and as JSON lines.
#include "sim/transcript.h"

namespace quillon::sim {

std::string ToHex(const uint8_t* data, size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(digits[data[i] >> 4]);
    out.push_back(digits[data[i] & 0x0F]);
  }
  return out;
}

namespace {

// One JSON line (no newline), for our own format only.
std::string ToJson(const TranscriptEntry& e) {
  // Only our own fields; fault texts are option names (no quotes to escape).
  std::string out =
      "{\"t\":" + std::to_string(e.t) + ",\"dir\":\"" + e.dir + "\",\"kind\":\"" + e.kind + "\"";
  if (e.cmd >= 0) out += ",\"cmd\":" + std::to_string(e.cmd);
  if (e.id >= 0) out += ",\"id\":" + std::to_string(e.id);
  if (e.len >= 0) out += ",\"len\":" + std::to_string(e.len);
  if (!e.checksumOk) out += ",\"checksum_ok\":false";
  if (!e.fault.empty()) out += ",\"fault\":\"" + e.fault + "\"";
  out += ",\"hex\":\"" + e.hex + "\"}";
  return out;
}

}  // namespace

Transcript::~Transcript() {
  if (file_ != nullptr) std::fclose(file_);
}

bool Transcript::OpenFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

void Transcript::Add(TranscriptEntry entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) {
    std::string line = ToJson(entry);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
  }
  entries_.push_back(std::move(entry));
}

std::vector<TranscriptEntry> Transcript::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

}  // namespace quillon::sim
