// The receive parser on blocks of bytes, and the answer and inter-byte
// timeouts on the hand-driven clock.
#include "core/protocol/parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "support/fakes.h"

namespace quillon {
namespace {

using test::Bytes;

std::vector<uint8_t> Frame(uint16_t command, uint16_t id, const std::string& data) {
  return EncodeFrame(command, id, reinterpret_cast<const uint8_t*>(data.data()),
                     static_cast<uint16_t>(data.size()));
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

void Receive(App& app, const std::vector<uint8_t>& bytes) {
  RS232_ReceiveBytes(app, bytes.data(), bytes.size());
}

// What was posted, in order, as comparable records.
std::vector<ReceivedPacket> Posted(test::FakeHost& host) {
  std::vector<ReceivedPacket> out;
  for (auto& m : host.TakePosts()) {
    EXPECT_EQ(m.kind, UiMessage::PACKET_RECEIVED);
    if (m.packet) out.push_back(*m.packet);
  }
  return out;
}

bool Same(const ReceivedPacket& a, const ReceivedPacket& b) {
  return a.receivedChecksum == b.receivedChecksum && a.length == b.length &&
         a.command == b.command && a.id == b.id && a.computedChecksum == b.computedChecksum &&
         a.dataCount == b.dataCount && std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

std::string DataOf(const ReceivedPacket& p) {
  return std::string(reinterpret_cast<const char*>(p.data), static_cast<size_t>(p.dataCount));
}

// A stream with marks inside every field: the parser frames by counting.
std::vector<uint8_t> AwkwardStream() {
  std::string tildes(126, '~');  // length 126 = 0x7E
  return Join({Frame(3, 0x7E7E, "a~~b"), Frame(23, 9, ""), Frame(0x7E, 5, tildes),
               Frame(21, 65535, std::string(512, '\xff'))});
}

TEST(Parser, SamePacketsWhateverTheBlockBoundaries) {
  auto stream = AwkwardStream();
  test::Rig whole;
  Receive(whole.app, stream);
  auto reference = Posted(whole.host);
  ASSERT_EQ(reference.size(), 4u);
  EXPECT_EQ(reference[0].id, 0x7E7E);
  EXPECT_EQ(DataOf(reference[0]), "a~~b");
  EXPECT_EQ(reference[1].dataCount, 0);
  EXPECT_EQ(reference[2].length, 126);
  EXPECT_EQ(reference[3].dataCount, 512);
  EXPECT_EQ(reference[3].data[512], 0);
  for (auto& p : reference) EXPECT_EQ(p.receivedChecksum, p.computedChecksum);

  // Two blocks split at every byte (cut 0: one byte per block).
  for (size_t cut = 0; cut < stream.size(); ++cut) {
    test::Rig rig;
    if (cut == 0) {
      for (uint8_t b : stream) RS232_ReceiveBytes(rig.app, &b, 1);
    } else {
      RS232_ReceiveBytes(rig.app, stream.data(), cut);
      RS232_ReceiveBytes(rig.app, stream.data() + cut, stream.size() - cut);
    }
    auto got = Posted(rig.host);
    ASSERT_EQ(got.size(), reference.size()) << "cut at " << cut;
    for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(Same(got[i], reference[i])) << cut;
  }
}

TEST(Parser, FramesByCountingWhateverTheMarks) {
  struct Want {
    uint16_t command, id;
    std::string data;
  };
  auto hello = Frame(3, 7, "hello");
  std::vector<uint8_t> oversized = {0x7E, 0x7E, 0, 0, 0x01, 0x02, 3, 0, 1, 0};  // length 513
  struct Case {
    const char* what;
    std::vector<uint8_t> in;
    std::vector<Want> want;
  } cases[] = {
      {"lone mark dropped with the byte after it",
       Join({Bytes("~x~~"), {hello.begin() + 2, hello.end()}}), {{3, 7, "hello"}}},
      {"third mark is the checksum's low byte",
       {0x7E, 0x7E, 0x7E, 0x01, 0x00, 0x00, 0x03, 0x00, 0x05, 0x00}, {{3, 5, ""}}},
      {"two packets in one block", Join({Frame(16, 1, "3"), Frame(17, 2, "line")}),
       {{16, 1, "3"}, {17, 2, "line"}}},
      {"length 0", Frame(22, 300, ""), {{22, 300, ""}}},
      {"length 513 never stored nor posted; the hunt goes on",
       Join({oversized, std::vector<uint8_t>(513, 'A'), Frame(3, 2, "ok")}), {{3, 2, "ok"}}},
  };
  for (const auto& c : cases) {
    test::Rig rig;
    Receive(rig.app, c.in);
    auto got = Posted(rig.host);
    ASSERT_EQ(got.size(), c.want.size()) << c.what;
    for (size_t i = 0; i < got.size(); ++i) {
      const Want& w = c.want[i];
      EXPECT_EQ(got[i].command, w.command) << c.what;
      EXPECT_EQ(got[i].id, w.id) << c.what;
      EXPECT_EQ(DataOf(got[i]), w.data) << c.what;
      EXPECT_TRUE(&c == &cases[1] || got[i].receivedChecksum == got[i].computedChecksum) << c.what;
    }
  }
  // The three marks' packet: the third mark is the checksum's low byte; the
  // sum is over the header alone.
  test::Rig rig;
  Receive(rig.app, cases[1].in);
  auto three = Posted(rig.host).at(0);
  EXPECT_EQ(three.receivedChecksum, 0x017E);
  EXPECT_EQ(three.computedChecksum, 8);
  // An empty packet is posted on its last header byte, not before.
  auto empty = Frame(22, 300, "");
  RS232_ReceiveBytes(rig.app, empty.data(), 9);
  EXPECT_EQ(rig.host.PendingPosts(), 0u);
  RS232_ReceiveBytes(rig.app, empty.data() + 9, 1);
  EXPECT_EQ(rig.host.PendingPosts(), 1u);
}

TEST(Parser, LinkStateFollowsTheBlocks) {
  test::Rig rig;
  auto& p = rig.app.protocol;
  rig.host.tick = 5000;
  RS232_ReceiveBytes(rig.app, nullptr, 0);  // even an empty block counts
  EXPECT_EQ(p.linkState.load(), LINK_RECEIVING);
  EXPECT_EQ(p.lastReceiveTick.load(), 5000u);

  // A broken start mark is more noise: the link stays receiving.
  Receive(rig.app, Bytes("~x"));
  EXPECT_EQ(p.linkState.load(), LINK_RECEIVING);

  // Bytes after a completed packet in the same block leave the link idle,
  // even when they begin the next packet.
  auto next = Frame(3, 2, "ok");
  Receive(rig.app, Join({Frame(3, 1, "ok"), {next.begin(), next.begin() + 5}}));
  EXPECT_EQ(p.linkState.load(), LINK_IDLE);
  Receive(rig.app, {next.begin() + 5, next.end()});
  EXPECT_EQ(Posted(rig.host).size(), 2u);
}

// --- timeouts ---------------------------------------------------------------

struct Timeouts : ::testing::Test {
  test::Rig rig;
  std::shared_ptr<test::FakeSerialDevice> device = rig.OpenFakePort();
  ProtocolState& p = rig.app.protocol;

  void SetUp() override { rig.host.AddControl(IDC_STATUS_LINE, "old"); }
  // A transfer under way with a packet sent; returns what was written.
  std::vector<uint8_t> Send(uint16_t command = 11) {
    p.transferActive = 1;
    rig.app.session.startTick = rig.host.tick.load();
    RS232_SendText(rig.app, command, command == RS232_LONG_COMMAND ? "1" : "data");
    auto sent = device->Written();
    device->ClearWritten();
    return sent;
  }
  void Step(uint32_t ms) {
    rig.host.Advance(ms);
    RS232_CheckTimeouts(rig.app);
  }
  void Steps(int n) {
    for (int i = 0; i < n; ++i) Step(100);
  }
  int Fired(const char* which) {
    auto lines = rig.host.LogLines();
    return static_cast<int>(
        std::count(lines.begin(), lines.end(),
                   std::string("WM_TIMER") + which + " calling RS232_ResendPacket"));
  }
  std::string Status() { return rig.host.GetControlText(IDC_STATUS_LINE).value_or(""); }
};

TEST_F(Timeouts, NothingHappensOutsideATransfer) {
  RS232_SendText(rig.app, 19, "100000");
  Receive(rig.app, Bytes("~~"));  // a packet cut short stays in the parser
  Steps(50);
  EXPECT_EQ(Status(), "");
  EXPECT_TRUE(rig.host.LogLines().empty());
  EXPECT_EQ(device->Writes().size(), 2u);
  // ... and the next bytes are taken as its continuation.
  auto rest = Frame(3, 4, "late");
  Receive(rig.app, {rest.begin() + 2, rest.end()});
  EXPECT_EQ(rig.host.PendingPosts(), 1u);
}

TEST_F(Timeouts, AnswerTimeoutFiresAfter500MillisecondsAndTheStatusLineFollows) {
  auto first = Send();
  Step(500);
  EXPECT_EQ(Fired("1"), 0);
  Step(1);
  EXPECT_EQ(Fired("1"), 1);
  EXPECT_EQ(device->Written(), first);
  EXPECT_EQ(p.lastCause, LOCAL_TIMEOUT);
  EXPECT_EQ(p.linkState.load(), LINK_AWAIT_REPLY);
  EXPECT_EQ(Status(), "Elapsed Time: 0   Retry Count: 0  ");
  // The window starts again from the resend.
  Step(500);
  EXPECT_EQ(Fired("1"), 1);
  EXPECT_EQ(Status(), "Elapsed Time: 1   Retry Count: 1  ");
  // Whole seconds, and the retries so far.
  rig.app.session.startTick = rig.host.tick.load() - 75400;
  p.totalRetryCount = 3;
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Status(), "Elapsed Time: 75   Retry Count: 3  ");
}

TEST_F(Timeouts, LongCommandWaits2500AndIsNotResent) {
  Send(RS232_LONG_COMMAND);
  Step(2500);
  EXPECT_EQ(Fired("1"), 0);
  Step(1);
  EXPECT_EQ(Fired("1"), 1);
  EXPECT_EQ(p.linkState.load(), LINK_IDLE);
  Steps(50);
  EXPECT_EQ(Fired("1"), 1);
  EXPECT_TRUE(device->Writes().empty());
  EXPECT_EQ(p.totalRetryCount.load(), 0);
}

TEST_F(Timeouts, InterByteTimeoutDropsThePartialPacketAndResends) {
  auto first = Send();
  auto answer = Frame(10, 1, "1");
  rig.host.Advance(450);
  RS232_ReceiveBytes(rig.app, answer.data(), 6);
  EXPECT_EQ(rig.app.parser.frame.State(), RX_HEADER);
  Step(100);
  EXPECT_EQ(Fired("2"), 0);
  Step(1);
  EXPECT_EQ(Fired("2"), 1);
  EXPECT_EQ(Fired("1"), 0);
  EXPECT_EQ(rig.app.parser.frame.State(), RX_HUNT);
  EXPECT_EQ(device->Written(), first);
  EXPECT_EQ(p.linkState.load(), LINK_AWAIT_REPLY);
  // The rest of the cut packet is hunted through, not completed.
  RS232_ReceiveBytes(rig.app, answer.data() + 6, answer.size() - 6);
  EXPECT_EQ(rig.host.PendingPosts(), 0u);
  // Noise, or a damaged answer (the first mark, then anything but the
  // second), while awaiting the answer leads to the same timeout.
  for (const char* noise : {"zz", "~x"}) {
    device->ClearWritten();
    int fired = Fired("2");
    Receive(rig.app, Bytes(noise));
    EXPECT_EQ(p.linkState.load(), LINK_RECEIVING) << noise;
    Step(100);
    EXPECT_EQ(Fired("2"), fired) << noise;
    Step(1);
    EXPECT_EQ(Fired("2"), fired + 1) << noise;
    EXPECT_EQ(device->Written(), first) << noise;
    EXPECT_EQ(p.linkState.load(), LINK_AWAIT_REPLY) << noise;
  }
}

TEST_F(Timeouts, RightAcrossTheTickWrap) {
  rig.host.tick = 0xFFFFFF00u;
  Send();
  Step(500);  // now 0x000000F4
  EXPECT_EQ(Fired("1"), 0);
  EXPECT_EQ(Status(), "Elapsed Time: 0   Retry Count: 0  ");
  Step(1);
  EXPECT_EQ(Fired("1"), 1);

  rig.host.tick = 0xFFFFFFC0u;
  Receive(rig.app, Bytes("~~ab"));
  Step(100);
  EXPECT_EQ(Fired("2"), 0);
  Step(1);
  EXPECT_EQ(Fired("2"), 1);
}

}  // namespace
}  // namespace quillon
