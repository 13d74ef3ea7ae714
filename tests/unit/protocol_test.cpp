// The packet link where the end-to-end runs cannot reach: the timeouts'
// exact bounds on a fake clock, the parser under every split of a stream
// and against a concurrent reset, and the exact bytes and log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "core/sha256.h"
#include "support/support.h"

namespace quillon::test {
namespace {

// A port that keeps what is written to it.
class MemoryDevice : public SerialDevice {
 public:
  bool Open(const std::string&, const LineSettings&, int*) override { return true; }
  bool IsOpen() const override { return true; }
  void CancelWait() override {}
  int Close() override { return 0; }
  bool SetBaudRate(uint32_t) override { return true; }
  bool Drain(int, int*) override { return true; }
  size_t BytesWaiting() override { return 0; }
  size_t Read(uint8_t*, size_t) override { return 0; }
  size_t Write(const uint8_t* data, size_t length, int*) override {
    written.insert(written.end(), data, data + length);
    return length;
  }
  WaitResult WaitForData(int, int*) override { return WaitResult::TIMEOUT; }
  bool GetCts(bool*) override { return false; }
  void SetDtr(bool) override {}
  void ClearError() override {}
  std::vector<uint8_t> written;
};

struct Rig {
  TestHost host{true};
  EventLog log{host, host};
  SerialLink link;
  PacketLink packets{link, log, host};
  std::shared_ptr<MemoryDevice> device = std::make_shared<MemoryDevice>();
  Rig() {
    link.Exchange(device);
    packets.state.transferActive = true;
  }
  std::string LastLine() { return host.Lines().empty() ? "" : host.Lines().back(); }
};

std::vector<uint8_t> Frame(uint16_t command, uint16_t id, const std::string& data) {
  return EncodeFrame(command, id, reinterpret_cast<const uint8_t*>(data.data()),
                     static_cast<uint16_t>(data.size()));
}

struct Timeout {
  const char* name;
  uint16_t command;
  bool active;     // a transfer runs
  bool partial;    // half an answer arrived after the send
  uint32_t bound;  // quiet milliseconds that still do not fire
  const char* line;
  bool resent;
};

const Timeout kTimeouts[] = {
    {"answer", RS232_TEST, true, false, 500, "WM_TIMER1 calling RS232_ResendPacket", true},
    {"long command", RS232_LONG_COMMAND, true, false, 2500, "WM_TIMER1 calling RS232_ResendPacket",
     false},
    {"inter-byte", RS232_TEST, true, true, 100, "WM_TIMER2 calling RS232_ResendPacket", true},
    {"no transfer", RS232_TEST, false, false, 100000, nullptr, false},
};

TEST(AnswerTimeouts, FireOneMillisecondPastTheirBoundAndResendTheSameBytes) {
  for (const Timeout& t : kTimeouts) {
    SCOPED_TRACE(t.name);
    Rig rig;
    rig.packets.state.transferActive = t.active;
    RS232_SendText(rig.packets, t.command, "100000");
    const std::vector<uint8_t> sent = rig.device->written;
    uint32_t from = rig.host.tick;
    if (t.partial) {
      const uint8_t half[] = {START_MARK, START_MARK, 0x3B, 0x01};
      rig.host.tick = from += 30;
      RS232_ReceiveBytes(rig.packets, half, sizeof half);
    }
    rig.host.tick = from + t.bound;
    EXPECT_FALSE(CheckAnswerTimeouts(rig.packets));
    rig.host.tick = from + t.bound + 1;
    EXPECT_EQ(CheckAnswerTimeouts(rig.packets), t.line != nullptr);
    EXPECT_EQ(rig.LastLine(), t.line ? t.line : "");
    std::vector<uint8_t> twice = sent;
    twice.insert(twice.end(), sent.begin(), sent.end());
    EXPECT_EQ(rig.device->written, t.resent ? twice : sent);
    // Much later: a resent packet waits for its answer again; the others never fire.
    rig.host.tick += 10000;
    EXPECT_EQ(CheckAnswerTimeouts(rig.packets), t.resent);
  }
}

TEST(AnswerTimeouts, SixResendsOfOnePacketAreMadeAndTheSeventhGivesUp) {
  Rig rig;
  int gaveUp = 0;
  rig.packets.onGiveUp = [&] { ++gaveUp; };
  SendTestPacket(rig.packets);
  const size_t frame = rig.device->written.size();
  for (size_t i = 1; i <= 7; ++i) {
    rig.host.tick += 501;
    EXPECT_TRUE(CheckAnswerTimeouts(rig.packets));
    EXPECT_EQ(rig.device->written.size(), frame * (1 + std::min<size_t>(i, 6))) << i;
    EXPECT_EQ(gaveUp, i == 7 ? 1 : 0);
  }
  EXPECT_FALSE(rig.packets.state.transferActive);
  EXPECT_EQ(rig.packets.state.totalRetryCount, 6);
}

TEST(PacketFrame, TheTestPacketsBytesIdsThatWrapAndTheDiagnosticLines) {
  Rig rig;
  SendTestPacket(rig.packets);
  EXPECT_EQ(rig.device->written,
            std::vector<uint8_t>({0x7E, 0x7E, 0x3B, 0x01, 0x06, 0x00, 0x13, 0x00, 0x01, 0x00, 0x31,
                                  0x30, 0x30, 0x30, 0x30, 0x30}));
  struct Handler : PacketHandler {
    void OnTransferPacket(ReceivedPacket&) override {}
    void OnFlashEraseResult(const std::string&) override {}
  } handler;
  auto dispatch = [&](uint16_t command) {
    FrameParser parser;
    PacketPtr packet;
    for (uint8_t byte : Frame(command, 7, "hi")) packet = parser.Feed(byte);
    RS232_DispatchPacket(rig.packets, *packet, handler);
  };
  const uint8_t raw[] = {0x7E, 0x7E, 0x0D, 'A', 0xFF};
  const std::pair<std::function<void()>, std::string> kLines[] = {
      {[&] { RS232_LogLastCommand(rig.packets); },
       "LAST COMMAND: Resend=0, Id=1, Cmd=19, cs=315, buf(6)=100000, cause=Unknown"},
      {[&] { dispatch(RS232_LOG); }, "LOG:  Id=7, Cmd=3, cs=221,221, len=2,  buf(2)=hi"},
      {[&] { dispatch(4); }, "ERROR Unknown Command:  Id=7, Cmd=4, cs=222,222, len=2,  buf(2)=hi"},
      {[&] { rig.log.Add(FormatRawLine(raw, sizeof raw)); }, "RAW_DATA: ~~[13]A[-1]"},
  };
  for (const auto& [make, line] : kLines) {
    const size_t before = rig.host.Lines().size();
    make();
    ASSERT_GT(rig.host.Lines().size(), before);
    EXPECT_EQ(rig.host.Lines()[before], line);
  }
  rig.packets.state.idCounter = 65534;
  for (uint16_t id : {uint16_t{65535}, uint16_t{0}}) {
    rig.device->written.clear();
    SendTestPacket(rig.packets);
    EXPECT_EQ(rig.device->written, Frame(RS232_TEST, id, "100000"));
  }
}

// What a posted packet holds, as one comparable text.
std::string Describe(const ReceivedPacket& p) {
  return std::to_string(p.command) + "/" + std::to_string(p.id) + "/" + std::to_string(p.length) +
         "/" + std::to_string(p.dataCount) + "/" + std::to_string(p.receivedChecksum) + "/" +
         std::to_string(p.computedChecksum) + "/" +
         std::string(reinterpret_cast<const char*>(p.data), p.length);
}

std::vector<std::string> Feed(const std::vector<std::vector<uint8_t>>& blocks) {
  Rig rig;
  for (const auto& block : blocks) RS232_ReceiveBytes(rig.packets, block.data(), block.size());
  std::vector<std::string> posted;
  for (const auto& packet : rig.host.TakePackets()) posted.push_back(Describe(*packet));
  return posted;
}

TEST(ParserSplits, EverySplitOfTheStreamGivesThePacketsOfTheWhole) {
  std::vector<uint8_t> stream;
  auto add = [&](const std::vector<uint8_t>& bytes) {
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  };
  add(Frame(RS232_TEST, 1, "100000"));
  add(Frame(RS232_FILE_CHUNK, 2, "a~~b~"));  // start marks inside the data are data
  add(Frame(RS232_NOP, 3, ""));
  add({'~', 'x'});  // a lone mark and its follower are dropped
  add(Frame(RS232_FILE_GET_DATA, 4, "after junk"));
  const auto shifted = Frame(RS232_LOG, 5, "shifted");
  add({0x7E, 0x7E, 0x7E});  // three marks: the third is the checksum's low byte
  stream.insert(stream.end(), shifted.begin() + 3, shifted.end());
  PacketHeader oversize;  // announces 600 data bytes: never stored, never posted
  oversize.bytes = {0x7E, 0x7E, 0x00, 0x00, 0x58, 0x02, 21, 0, 6, 0};
  add({oversize.bytes.begin(), oversize.bytes.end()});
  add(Frame(RS232_FILE_GET_END, 7, "end"));

  auto want = [](uint16_t command, uint16_t id, const std::string& data, int received = -1) {
    ReceivedPacket p;
    p.command = command, p.id = id, p.length = static_cast<uint16_t>(data.size());
    p.dataCount = p.length;
    std::copy(data.begin(), data.end(), p.data);
    p.computedChecksum = PacketChecksum(p.length, command, id, p.data, data.size());
    p.receivedChecksum = received < 0 ? p.computedChecksum : static_cast<uint16_t>(received);
    return Describe(p);
  };
  const std::vector<std::string> whole = Feed({stream});
  EXPECT_EQ(whole, std::vector<std::string>({want(19, 1, "100000"), want(11, 2, "a~~b~"),
                                             want(23, 3, ""), want(21, 4, "after junk"),
                                             want(3, 5, "shifted", 0x7E | shifted[3] << 8),
                                             want(22, 7, "end")}));
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    std::vector<uint8_t> head(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    std::vector<uint8_t> tail(stream.begin() + static_cast<std::ptrdiff_t>(cut), stream.end());
    ASSERT_EQ(Feed({head, tail}), whole) << "split at " << cut;
  }
}

// The timeout's reset, on the handler thread, against the parser on the
// receive thread: a posted packet is always one the readout sent whole.
TEST(ParserRace, AResetNeverTearsAPacket) {
  Rig rig;
  std::vector<std::vector<uint8_t>> frames;
  for (uint16_t id = 1; frames.size() < 1000; ++id) {
    auto frame =
        Frame(RS232_FILE_GET_DATA, id, std::string(id % 40 + 1, static_cast<char>('A' + id % 26)));
    // No mark after the first two, so a dropped half cannot start a frame.
    if (std::find(frame.begin() + 2, frame.end(), START_MARK) == frame.end())
      frames.push_back(frame);
  }
  std::atomic<bool> stop{false};
  std::atomic<int> resets{0};
  std::thread handler([&] {
    while (!stop) {
      rig.host.tick += 200;
      if (CheckAnswerTimeouts(rig.packets)) ++resets;
    }
  });
  for (int round = 0; round < 20; ++round) {
    for (const auto& frame : frames) {
      const size_t half = frame.size() / 2;
      RS232_ReceiveBytes(rig.packets, frame.data(), half);
      RS232_ReceiveBytes(rig.packets, frame.data() + half, frame.size() - half);
    }
  }
  stop = true;
  handler.join();
  const auto packets = rig.host.TakePackets();
  EXPECT_GT(resets.load(), 0);
  EXPECT_GT(packets.size(), 0u);
  for (const auto& p : packets) {
    ASSERT_EQ(p->receivedChecksum, p->computedChecksum) << Describe(*p);
    ASSERT_EQ(p->length, p->id % 40 + 1) << Describe(*p);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(p->data), p->length),
              std::string(p->length, static_cast<char>('A' + p->id % 26)));
  }
}

// The log keeps at least its bound and at most a quarter more, lets the
// oldest lines go and counts them; a bound of 0 keeps none.
TEST(EventLogBound, KeepsTheLastLinesAndCountsTheDroppedOnes) {
  TestHost host;
  EventLog log{host, host, 4};
  for (size_t i = 0; i < 23; ++i) {
    log.Add("line " + std::to_string(i));
    EXPECT_LE(log.Count(), 5u);
    EXPECT_GE(log.Count(), std::min<size_t>(i + 1, 4));
    EXPECT_EQ(log.Dropped() + log.Count(), i + 1);
  }
  uint64_t dropped = 0;
  std::vector<std::string> lines = log.Lines(0, &dropped);
  EXPECT_EQ(dropped, log.Dropped());
  EXPECT_EQ(lines.front(), "line " + std::to_string(dropped));
  EXPECT_EQ(lines.back(), "line 22");
  EXPECT_EQ(log.Lines(22), std::vector<std::string>{"line 22"});
  log.SetKeep(0);
  log.Add("not kept");
  EXPECT_EQ(log.Count(), 0u);
  EXPECT_EQ(log.Dropped(), 24u);
  EXPECT_EQ(host.Lines().back(), "not kept");  // shown all the same
}

// Digests name every image and file in the output and the report; the
// expected values are the published test vectors.
TEST(Sha256, PublishedVectorsWholeAndFedInOddPieces) {
  auto text = [](const char* s) { return reinterpret_cast<const uint8_t*>(s); };
  EXPECT_EQ(Sha256Hex(text(""), 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256Hex(text("abc"), 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const char* twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(Sha256Hex(text(twoBlocks), 56), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  Sha256 million;
  std::string as(1001, 'a');
  for (int i = 0; i < 1000; ++i) million.Update(text(as.data()), i % 2 ? 999 : 1001);
  EXPECT_EQ(million.HexDigest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace quillon::test
