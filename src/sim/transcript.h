// A record of everything the simulator put on and took off the line, kept in
// memory for in-process checks and optionally written as JSON lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace quillon::sim {

struct TranscriptEntry {
  uint64_t t = 0;          // ms since the simulator started
  std::string dir;         // "rx" or "tx"
  std::string kind;        // "frame", "raw", "noise", "partial", "dropped", "hangup"
  int cmd = -1;            // frames only
  int id = -1;             // frames only
  int len = -1;            // frames: the header's length field
  std::string hex;         // the bytes, upper-case hex without separators
  std::string fault;       // the fault that shaped this entry, empty when none
  bool checksumOk = true;  // frames: whether the checksum field matched
};

std::string ToHex(const uint8_t* data, size_t count);

class Transcript {
 public:
  Transcript() = default;
  ~Transcript();
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;

  // Also writes every entry to the file (flushed per line). False when the
  // file cannot be created.
  bool OpenFile(const std::string& path);
  void Add(TranscriptEntry entry);
  std::vector<TranscriptEntry> Entries() const;

 private:
  mutable std::mutex mutex_;
  std::vector<TranscriptEntry> entries_;
  FILE* file_ = nullptr;
};

}  // namespace quillon::sim
