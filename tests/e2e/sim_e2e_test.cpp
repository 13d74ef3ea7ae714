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
  explicit HostPort(const std::string& path) {
    device_ = factory_.Create();
    int error = 0;
    ok_ = device_->Open(path, LineSettings{}, &error);
  }
  ~HostPort() { device_->Close(); }
  bool Ok() const { return ok_; }
  void Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      size_t block = std::min<size_t>(16384, bytes.size() - done);
      size_t n = device_->Write(bytes.data() + done, block);
      ASSERT_GT(n, 0u) << "write failed";
      done += n;
    }
  }
  // Reads until count bytes came or the deadline passed.
  std::vector<uint8_t> Receive(size_t count, milliseconds timeout = DEADLINE) {
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      if (device_->WaitForData(100) != WaitResult::DATA) continue;
      uint8_t buffer[512];
      size_t n = device_->Read(buffer, std::min(sizeof buffer, count - got.size()));
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

 private:
  posix::PosixSerialFactory factory_;
  std::shared_ptr<SerialDevice> device_;
  bool ok_ = false;
};

std::vector<ReceivedPacket> Framed(const std::vector<uint8_t>& bytes) {
  FrameParser parser;
  std::vector<ReceivedPacket> out;
  for (uint8_t b : bytes)
    if (auto p = parser.Feed(b)) out.push_back(*p);
  return out;
}

std::vector<uint8_t> TestFrame(uint16_t id) {
  const uint8_t text[] = {'1', '0', '0', '0', '0', '0'};
  return EncodeFrame(CMD_TEST, id, text, 6);
}

TEST(SimE2E, TheCoreTestCommandArrivesAsItsExactFrameAndTheEchoIsLogged) {
  SimHarness sim;
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  quillon::test::FakeHost host;
  posix::PosixSerialFactory factory;
  App app(host, factory);
  OpenDevicePath(app, sim.SlavePath());
  ASSERT_TRUE(app.link.IsOpen());
  StartReceiveThread(app);

  const uint8_t text[] = {'1', '0', '0', '0', '0', '0'};
  RS232_SendPacket(app, 19, text, 6);

  TranscriptEntry frame;
  ASSERT_TRUE(sim.WaitForFrame("rx", 19, DEADLINE, &frame));
  EXPECT_EQ(frame.hex, "7E7E3B01060013000100313030303030");
  EXPECT_EQ(frame.id, 1);
  EXPECT_EQ(frame.len, 6);
  EXPECT_TRUE(frame.checksumOk);

  // The readout's echo comes back as a LOG packet and lands in the event log.
  std::string expected = "LOG:  Id=1, Cmd=3, cs=299,299, len=6,  buf(6)=100000";
  bool logged = WaitUntil(
      [&] {
        host.Pump(app);
        for (const auto& line : host.LogLines())
          if (line == expected) return true;
        return false;
      },
      DEADLINE);
  EXPECT_TRUE(logged);
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
  std::vector<uint8_t> got{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(got, image);
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

  host.Send(TestFrame(1));
  auto first = Framed(host.Receive(5 + 16));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_NE(first[0].receivedChecksum, first[0].computedChecksum);
  host.Send(TestFrame(1));  // the host's resend
  auto second = Framed(host.Receive(5 + 16));
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].receivedChecksum, second[0].computedChecksum);
  EXPECT_EQ(second[0].id, first[0].id);

  ASSERT_TRUE(sim.WaitForTranscript(
      [](const Entries& e) { return StreamBytes(e, "tx").size() >= 2 * (5 + 16); }, DEADLINE));
  auto entries = sim.Transcript();
  EXPECT_EQ(WithFault(entries, "noise").size(), 2u);
  EXPECT_GE(WithFault(entries, "split-writes").size(), 3u);
  bool corrupt = false;
  for (const auto& e : entries) corrupt = corrupt || (e.dir == "tx" && !e.checksumOk);
  EXPECT_TRUE(corrupt);
}

TEST(SimE2E, ADroppedAnswerAndAHangUpAreShownInTheTranscript) {
  SimOptions options;
  options.faults.dropNth = 1;
  options.faults.hangupAfter = 40;
  SimHarness sim(options);
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  HostPort host(sim.SlavePath());
  ASSERT_TRUE(host.Ok());
  host.Send(TestFrame(7));
  ASSERT_TRUE(sim.WaitForTranscript(
      [](const Entries& e) { return !WithFault(e, "drop-nth").empty(); }, DEADLINE));
  host.Send(TestFrame(7));
  EXPECT_EQ(Framed(host.Receive(16)).size(), 1u);
  host.Send(TestFrame(8));  // passes 40 received bytes
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
  host.Send(TestFrame(1));
  auto packets = Framed(host.Receive(11 + 15));
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
