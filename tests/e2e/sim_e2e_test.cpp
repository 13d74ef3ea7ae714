// The host side (the core and its POSIX backend) against quillon-sim on a
// pseudo-terminal: what goes over the line is checked in the simulator's
// transcript.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "core/app.h"
#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "platform/posix/posix_serial.h"
#include "sim/sim_engine.h"
#include "sim_harness.h"
#include "support/fakes.h"

namespace quillon::sim::test {
namespace {

constexpr milliseconds DEADLINE{10000};

// The host's port, opened by the POSIX backend on the simulator's path.
class HostPort {
 public:
  explicit HostPort(const std::string& path) : device_(posix::PosixSerialFactory().Create()) {
    ok_ = device_->Open(path, LineSettings{}, nullptr);
  }
  ~HostPort() { device_->Close(); }
  bool Ok() const { return ok_; }
  void Send(const std::vector<uint8_t>& bytes) {
    for (size_t done = 0, n = 1; done < bytes.size() && n > 0; done += n) {
      n = device_->Write(bytes.data() + done, std::min<size_t>(16384, bytes.size() - done));
      ASSERT_GT(n, 0u) << "write failed";
    }
  }
  // Reads until count bytes came or the deadline passed.
  std::vector<uint8_t> Receive(size_t count) {
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + DEADLINE;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      if (device_->WaitForData(100) != WaitResult::DATA) continue;
      uint8_t buffer[512];
      size_t n = device_->Read(buffer, std::min(sizeof buffer, count - got.size()));
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  // The packets framed from count bytes received.
  std::vector<ReceivedPacket> Packets(size_t count) {
    FrameParser parser;
    std::vector<ReceivedPacket> out;
    for (uint8_t b : Receive(count))
      if (auto p = parser.Feed(b)) out.push_back(*p);
    return out;
  }
  void SendTest(uint16_t id) { Send(EncodeFrame(CMD_TEST, id, reinterpret_cast<const uint8_t*>("100000"), 6)); }

 private:
  std::shared_ptr<SerialDevice> device_;
  bool ok_ = false;
};

TEST(SimE2E, TheCoreTestCommandArrivesAsItsExactFrameAndTheEchoIsLogged) {
  SimHarness sim;
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  quillon::test::FakeHost host;
  posix::PosixSerialFactory factory;
  App app(host, factory);
  OpenDevicePath(app, sim.SlavePath());
  ASSERT_TRUE(app.link.IsOpen());
  StartReceiveThread(app);
  RS232_SendPacket(app, 19, reinterpret_cast<const uint8_t*>("100000"), 6);

  TranscriptEntry frame;
  ASSERT_TRUE(sim.WaitForFrame("rx", 19, DEADLINE, &frame));
  EXPECT_EQ(frame.hex, "7E7E3B01060013000100313030303030");
  EXPECT_EQ(frame.id, 1);
  EXPECT_EQ(frame.len, 6);
  EXPECT_TRUE(frame.checksumOk);

  // The readout's echo comes back as a LOG packet and lands in the event log.
  EXPECT_TRUE(WaitUntil(
      [&] {
        host.Pump(app);
        auto lines = host.LogLines();
        return std::count(lines.begin(), lines.end(),
                          "LOG:  Id=1, Cmd=3, cs=299,299, len=6,  buf(6)=100000") > 0;
      },
      DEADLINE));
  StopReceiveThread(app);
  CloseDevice(app);
}

TEST(SimE2E, AHundredKilobyteImageArrivesByteIdenticalThroughTheProgram) {
  ScratchDir dir;
  std::string saved = dir.File("image.bin");
  SimProcess sim({"--mode", "boot", "--save-image", saved, "--expect-size", "100000"});
  ASSERT_TRUE(sim.Ok());
  std::vector<uint8_t> image(100000);
  std::mt19937 gen(11);
  for (auto& b : image) b = static_cast<uint8_t>(gen());
  image[0] = 0x07;  // begins like the erase command, and must still be image
  image[1] = 0x06;
  {
    HostPort host(sim.SlavePath());
    ASSERT_TRUE(host.Ok());
    host.Send(image);
    int status = -1;
    ASSERT_TRUE(sim.WaitForExit(DEADLINE, &status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_TRUE(sim.WaitForOutput("Received 100000 bytes", DEADLINE));
  std::ifstream in(saved, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), image);
  // The display counted the bytes as they came, ending at the full size.
  auto lines = sim.OutputLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "(100000)");
  EXPECT_EQ(StreamBytes(sim.Transcript(), "rx"), image);
}

TEST(SimE2E, TheEraseExchangeCompletesAfterTheEraseDelay) {
  SimOptions options;
  options.mode = SimMode::BOOT;
  options.eraseDelayMs = 150;
  SimHarness sim(options);
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  HostPort host(sim.SlavePath());
  ASSERT_TRUE(host.Ok());
  host.Send({0x07, 0x06});
  EXPECT_EQ(host.Receive(2), (std::vector<uint8_t>{0x07, 0x06}));
  EXPECT_EQ(sim.Line().Erases(), 1);
  // The answer reaches the line before its transcript entry is written.
  ASSERT_TRUE(sim.WaitForTranscript(
      [](const Entries& e) { return !OfKind(e, "tx", "raw").empty(); }, DEADLINE));
  auto entries = sim.Transcript();
  auto rx = OfKind(entries, "rx", "raw");
  auto tx = OfKind(entries, "tx", "raw");
  ASSERT_EQ(rx.size(), 1u);
  ASSERT_EQ(tx.size(), 1u);
  EXPECT_EQ(rx[0].hex, "0706");
  EXPECT_EQ(tx[0].hex, "0706");
  EXPECT_GE(tx[0].t, rx[0].t + 150);
  EXPECT_EQ(sim.Line().ImageBytes(), 0u);
}

TEST(SimE2E, DamagedAnswersAreProducedAndShownInTheTranscript) {
  SimOptions options;
  options.faults.corruptChecksum = 1;
  options.faults.noise = 5;
  options.faults.splitWrites = true;
  options.faults.seed = 4;
  SimHarness sim(options);
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  HostPort host(sim.SlavePath());
  ASSERT_TRUE(host.Ok());

  host.SendTest(1);
  auto first = host.Packets(5 + 16);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_NE(first[0].receivedChecksum, first[0].computedChecksum);
  host.SendTest(1);  // the host's resend
  auto second = host.Packets(5 + 16);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].receivedChecksum, second[0].computedChecksum);
  EXPECT_EQ(second[0].id, first[0].id);

  ASSERT_TRUE(sim.WaitForTranscript(
      [](const Entries& e) { return StreamBytes(e, "tx").size() >= 2 * (5 + 16); }, DEADLINE));
  auto entries = sim.Transcript();
  EXPECT_EQ(WithFault(entries, "noise").size(), 2u);
  EXPECT_GE(WithFault(entries, "split-writes").size(), 3u);
  EXPECT_TRUE(std::any_of(entries.begin(), entries.end(),
                          [](const TranscriptEntry& e) { return e.dir == "tx" && !e.checksumOk; }));
}

TEST(SimE2E, ADroppedAnswerAndAHangUpAreShownInTheTranscript) {
  SimOptions options;
  options.faults.dropNth = 1;
  options.faults.hangupAfter = 40;
  SimHarness sim(options);
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  HostPort host(sim.SlavePath());
  ASSERT_TRUE(host.Ok());
  host.SendTest(7);
  ASSERT_TRUE(sim.WaitForTranscript(
      [](const Entries& e) { return !WithFault(e, "drop-nth").empty(); }, DEADLINE));
  host.SendTest(7);
  EXPECT_EQ(host.Packets(16).size(), 1u);
  host.SendTest(8);  // passes 40 received bytes
  EXPECT_TRUE(sim.WaitForTranscript(
      [](const Entries& e) { return !OfKind(e, "tx", "hangup").empty(); }, DEADLINE));
  EXPECT_TRUE(WaitUntil([&] { return sim.Line().HungUp(); }, DEADLINE));
  EXPECT_EQ(sim.Line().ReceivedBytes(), 40u);
}

TEST(SimE2E, ProgramOptionsReachTheLineAndTheTranscriptFile) {
  ScratchDir store;
  SimProcess sim({"--store", store.Path(), "--answer-bad-checksum", "1", "--send-log", "ready"});
  ASSERT_TRUE(sim.Ok());
  HostPort host(sim.SlavePath());
  ASSERT_TRUE(host.Ok());
  host.SendTest(1);
  auto packets = host.Packets(11 + 15);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].command, CMD_BAD_CHECKSUM);
  EXPECT_EQ(packets[1].command, CMD_LOG);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(packets[1].data), 5), "ready");
  ASSERT_TRUE(sim.WaitForTranscript(
      [](const Entries& e) { return Frames(e, "tx").size() >= 2; }, DEADLINE));
  auto entries = sim.Transcript();
  auto rx = Frames(entries, "rx", 19);
  ASSERT_EQ(rx.size(), 1u);
  EXPECT_EQ(rx[0].hex, "7E7E3B01060013000100313030303030");
  EXPECT_EQ(WithFault(entries, "answer-bad-checksum").size(), 1u);
}

}  // namespace
}  // namespace quillon::sim::test
