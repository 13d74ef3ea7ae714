// Shared by the transfer tests: a scratch directory to work in, the packets
// the core wrote to the fake port, and packets as the readout sends them.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "core/transfer/transfer_control.h"
#include "support/fakes.h"

namespace quillon::test {

struct SentPacket {
  uint16_t command;
  std::string data;
};

inline bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh directory per test, made the current one ("bitmap.bin" lives in
// the current directory), and the previous one restored afterwards.
class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "quillon-xfer-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
    port = rig.OpenFakePort();
  }
  void TearDown() override {
    CloseTransferFiles(rig.app);
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  bool Active() { return rig.app.protocol.transferActive.load() != 0; }
  std::string LastBox() { return rig.host.Boxes().back().text; }
  std::string LastLog() { return rig.host.LogLines().back(); }

  // Writes the file and makes it the open dialog's next answer.
  void Offer(const std::string& name, const std::string& bytes) {
    WriteFile(name, bytes);
    rig.host.openAnswers.push_back(Path(name));
  }

  // Hands a handler a packet as the readout sends it.
  void Feed(void (*handler)(App&, ReceivedPacket&), uint16_t command, const std::string& data) {
    ReceivedPacket packet;
    packet.command = command;
    packet.length = static_cast<uint16_t>(data.size());
    packet.dataCount = static_cast<int32_t>(data.size());
    std::copy(data.begin(), data.end(), packet.data);
    handler(rig.app, packet);
  }

  // The packets written to the port, each checked for a sound checksum.
  std::vector<SentPacket> Sent() {
    FrameParser parser;
    std::vector<SentPacket> out;
    for (uint8_t b : port->Written()) {
      auto packet = parser.Feed(b);
      if (!packet) continue;
      EXPECT_EQ(packet->receivedChecksum, packet->computedChecksum);
      out.push_back({packet->command, std::string(reinterpret_cast<char*>(packet->data),
                                                  static_cast<size_t>(packet->dataCount))});
    }
    return out;
  }

  Rig rig;
  std::shared_ptr<FakeSerialDevice> port;

 private:
  std::filesystem::path previous_;
  std::filesystem::path dir_;
};

}  // namespace quillon::test
