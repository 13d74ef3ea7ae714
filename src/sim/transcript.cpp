// The simulator's record of the line, in memory and as JSON lines.
#include "sim/transcript.h"

#include <cstdlib>
#include <cstring>

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

static int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    int hi = HexValue(hex[i]);
    int lo = HexValue(hex[i + 1]);
    if (hi < 0 || lo < 0) break;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return out;
}

std::string ToJson(const TranscriptEntry& e) {
  // Only our own fields; fault texts are option names (no quotes to escape).
  std::string out = "{\"t\":" + std::to_string(e.t) + ",\"dir\":\"" + e.dir + "\",\"kind\":\"" +
                    e.kind + "\"";
  if (e.cmd >= 0) out += ",\"cmd\":" + std::to_string(e.cmd);
  if (e.id >= 0) out += ",\"id\":" + std::to_string(e.id);
  if (e.len >= 0) out += ",\"len\":" + std::to_string(e.len);
  if (!e.checksumOk) out += ",\"checksum_ok\":false";
  if (!e.fault.empty()) out += ",\"fault\":\"" + e.fault + "\"";
  out += ",\"hex\":\"" + e.hex + "\"}";
  return out;
}

static bool FindNumber(const std::string& line, const char* key, long long* value) {
  std::string pattern = std::string("\"") + key + "\":";
  size_t at = line.find(pattern);
  if (at == std::string::npos) return false;
  *value = std::strtoll(line.c_str() + at + pattern.size(), nullptr, 10);
  return true;
}

static bool FindString(const std::string& line, const char* key, std::string* value) {
  std::string pattern = std::string("\"") + key + "\":\"";
  size_t at = line.find(pattern);
  if (at == std::string::npos) return false;
  size_t start = at + pattern.size();
  size_t end = line.find('"', start);
  if (end == std::string::npos) return false;
  *value = line.substr(start, end - start);
  return true;
}

bool FromJson(const std::string& line, TranscriptEntry* e) {
  long long number = 0;
  if (!FindNumber(line, "t", &number)) return false;
  e->t = static_cast<uint64_t>(number);
  if (!FindString(line, "dir", &e->dir) || !FindString(line, "kind", &e->kind)) return false;
  e->cmd = FindNumber(line, "cmd", &number) ? static_cast<int>(number) : -1;
  e->id = FindNumber(line, "id", &number) ? static_cast<int>(number) : -1;
  e->len = FindNumber(line, "len", &number) ? static_cast<int>(number) : -1;
  e->checksumOk = line.find("\"checksum_ok\":false") == std::string::npos;
  if (!FindString(line, "fault", &e->fault)) e->fault.clear();
  if (!FindString(line, "hex", &e->hex)) e->hex.clear();
  return true;
}

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
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) {
      std::string line = ToJson(entry);
      line.push_back('\n');
      std::fwrite(line.data(), 1, line.size(), file_);
      std::fflush(file_);
    }
    entries_.push_back(std::move(entry));
  }
  changed_.notify_all();
}

std::vector<TranscriptEntry> Transcript::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

size_t Transcript::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

bool Transcript::WaitUntil(const std::function<bool(const std::vector<TranscriptEntry>&)>& pred,
                           std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return pred(entries_); });
}

}  // namespace quillon::sim
