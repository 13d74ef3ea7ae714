// Helpers for driving the simulator's engine by hand in unit tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "sim/sim_engine.h"

namespace quillon::sim::test {

// A fresh directory under the temporary directory, removed at the end.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / ("quillon_sim_" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string str() const { return path_.string(); }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

inline std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Plays the host: sends frames with its own ids and reads back the answers
// through the same framing code the host uses.
class HostSide {
 public:
  explicit HostSide(SimEngine& engine) : engine_(engine) {}

  void Send(uint16_t cmd, const std::vector<uint8_t>& data, uint64_t now = 0) {
    last_ = EncodeFrame(cmd, ++id_, data.data(), static_cast<uint16_t>(data.size()));
    Resend(now);
  }
  void Send(uint16_t cmd, const std::string& text, uint64_t now = 0) { Send(cmd, Bytes(text), now); }
  // The host's resend: the very same bytes again.
  void Resend(uint64_t now = 0) { engine_.Receive(last_.data(), last_.size(), now); }

  // Everything queued so far, as bytes on the wire.
  std::vector<uint8_t> Wire() {
    std::vector<uint8_t> out;
    for (auto& chunk : engine_.TakeAll()) {
      out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.end());
      sent.push_back(chunk.info);
    }
    return out;
  }
  // Everything queued so far, framed.
  std::vector<ReceivedPacket> Answers() {
    std::vector<ReceivedPacket> out;
    for (uint8_t b : Wire())
      if (auto p = parser_.Feed(b)) out.push_back(*p);
    return out;
  }
  // Exactly one answer expected.
  ReceivedPacket One() {
    auto answers = Answers();
    EXPECT_EQ(answers.size(), 1u);
    return answers.empty() ? ReceivedPacket{} : answers.front();
  }

  // What the line would have transcribed for each chunk taken.
  std::vector<TranscriptEntry> sent;

 private:
  SimEngine& engine_;
  FrameParser parser_;
  uint16_t id_ = 0;
  std::vector<uint8_t> last_;
};

inline std::string TextOf(const ReceivedPacket& p) {
  return std::string(reinterpret_cast<const char*>(p.data), static_cast<size_t>(p.dataCount));
}

}  // namespace quillon::sim::test
