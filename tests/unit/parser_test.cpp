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

  // One byte per block.
  {
    test::Rig rig;
    for (uint8_t b : stream) RS232_ReceiveBytes(rig.app, &b, 1);
    auto got = Posted(rig.host);
    ASSERT_EQ(got.size(), reference.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(Same(got[i], reference[i])) << i;
  }
  // Two blocks, split at every byte.
  for (size_t cut = 1; cut < stream.size(); ++cut) {
    test::Rig rig;
    RS232_ReceiveBytes(rig.app, stream.data(), cut);
    RS232_ReceiveBytes(rig.app, stream.data() + cut, stream.size() - cut);
    auto got = Posted(rig.host);
    ASSERT_EQ(got.size(), reference.size()) << "cut at " << cut;
    for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(Same(got[i], reference[i])) << cut;
  }
}

TEST(Parser, DropsALoneMarkWithTheByteAfterIt) {
  test::Rig rig;
  // "~x" is dropped; the following "~~" are the packet's own marks.
  auto frame = Frame(3, 7, "hello");
  Receive(rig.app, Join({Bytes("~x~~"), {frame.begin() + 2, frame.end()}}));
  auto got = Posted(rig.host);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].command, 3);
  EXPECT_EQ(got[0].id, 7);
  EXPECT_EQ(DataOf(got[0]), "hello");
}

TEST(Parser, ThirdMarkIsTheChecksumsLowByte) {
  test::Rig rig;
  Receive(rig.app, {0x7E, 0x7E, 0x7E, 0x01, 0x00, 0x00, 0x03, 0x00, 0x05, 0x00});
  auto got = Posted(rig.host);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].receivedChecksum, 0x017E);
  EXPECT_EQ(got[0].length, 0);
  EXPECT_EQ(got[0].command, 3);
  EXPECT_EQ(got[0].id, 5);
  EXPECT_EQ(got[0].computedChecksum, 8);
}

TEST(Parser, TwoPacketsInOneBlockArePostedInOrder) {
  test::Rig rig;
  Receive(rig.app, Join({Frame(16, 1, "3"), Frame(17, 2, "line")}));
  auto got = Posted(rig.host);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].command, 16);
  EXPECT_EQ(got[1].command, 17);
  EXPECT_EQ(DataOf(got[1]), "line");
}

TEST(Parser, EmptyPacketIsPostedOnItsEighthHeaderByte) {
  test::Rig rig;
  auto frame = Frame(22, 300, "");
  RS232_ReceiveBytes(rig.app, frame.data(), 9);
  EXPECT_EQ(rig.host.PendingPosts(), 0u);
  RS232_ReceiveBytes(rig.app, frame.data() + 9, 1);
  auto got = Posted(rig.host);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].dataCount, 0);
  EXPECT_EQ(got[0].computedChecksum, 22 + (300 & 0xFF) + (300 >> 8));
  EXPECT_EQ(got[0].receivedChecksum, got[0].computedChecksum);
}

TEST(Parser, OversizedHeaderIsNeverStoredNorPosted) {
  test::Rig rig;
  // Length 513, then 513 bytes that would overrun the data area.
  std::vector<uint8_t> header = {0x7E, 0x7E, 0, 0, 0x01, 0x02, 3, 0, 1, 0};
  Receive(rig.app, Join({header, std::vector<uint8_t>(513, 'A')}));
  EXPECT_EQ(rig.host.PendingPosts(), 0u);
  // The hunt goes on: the next frame is taken whole.
  Receive(rig.app, Frame(3, 2, "ok"));
  auto got = Posted(rig.host);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(DataOf(got[0]), "ok");
}

TEST(Parser, LinkStateFollowsTheBlocks) {
  test::Rig rig;
  auto& p = rig.app.protocol;
  rig.host.tick = 5000;
  RS232_ReceiveBytes(rig.app, nullptr, 0);  // even an empty block counts
  EXPECT_EQ(p.linkState.load(), LINK_RECEIVING);
  EXPECT_EQ(p.lastReceiveTick.load(), 5000u);

  rig.host.tick = 6000;
  Receive(rig.app, Bytes("noise"));
  EXPECT_EQ(p.linkState.load(), LINK_RECEIVING);
  EXPECT_EQ(p.lastReceiveTick.load(), 6000u);

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
  void StartTransfer() {
    p.transferActive = 1;
    rig.app.session.startTick = rig.host.tick.load();
  }
  int Fired(const char* which) {
    auto lines = rig.host.LogLines();
    return static_cast<int>(
        std::count(lines.begin(), lines.end(),
                   std::string("WM_TIMER") + which + " calling RS232_ResendPacket"));
  }
};

TEST_F(Timeouts, NothingHappensOutsideATransfer) {
  RS232_SendText(rig.app, 19, "100000");
  Receive(rig.app, Bytes("~~"));  // a packet cut short stays in the parser
  for (int i = 0; i < 50; ++i) {
    rig.host.Advance(100);
    RS232_CheckTimeouts(rig.app);
    EXPECT_EQ(rig.host.GetControlText(IDC_STATUS_LINE), "");
  }
  EXPECT_TRUE(rig.host.LogLines().empty());
  EXPECT_EQ(device->Writes().size(), 2u);
  // ... and the next bytes are taken as its continuation.
  auto rest = Frame(3, 4, "late");
  Receive(rig.app, {rest.begin() + 2, rest.end()});
  EXPECT_EQ(rig.host.PendingPosts(), 1u);
}

TEST_F(Timeouts, StatusLineShowsWholeSecondsAndRetries) {
  p.transferActive = 1;
  rig.app.session.startTick = rig.host.tick.load() - 75400;
  p.totalRetryCount = 3;
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(rig.host.GetControlText(IDC_STATUS_LINE), "Elapsed Time: 75   Retry Count: 3  ");
}

TEST_F(Timeouts, AnswerTimeoutFiresAfter500Milliseconds) {
  StartTransfer();
  RS232_SendText(rig.app, 11, "data");
  auto first = device->Written();
  device->ClearWritten();
  rig.host.Advance(500);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("1"), 0);
  rig.host.Advance(1);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("1"), 1);
  EXPECT_EQ(device->Written(), first);
  EXPECT_EQ(p.lastCause, LOCAL_TIMEOUT);
  EXPECT_EQ(p.linkState.load(), LINK_AWAIT_REPLY);
  EXPECT_EQ(p.totalRetryCount.load(), 1);
  EXPECT_EQ(rig.host.GetControlText(IDC_STATUS_LINE), "Elapsed Time: 0   Retry Count: 0  ");
  // The window starts again from the resend.
  rig.host.Advance(500);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("1"), 1);
  EXPECT_EQ(rig.host.GetControlText(IDC_STATUS_LINE), "Elapsed Time: 1   Retry Count: 1  ");
}

TEST_F(Timeouts, LongCommandWaits2500AndIsNotResent) {
  StartTransfer();
  RS232_SendText(rig.app, RS232_LONG_COMMAND, "1");
  device->ClearWritten();
  rig.host.Advance(2500);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("1"), 0);
  rig.host.Advance(1);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("1"), 1);
  EXPECT_TRUE(device->Writes().empty());
  EXPECT_EQ(p.linkState.load(), LINK_IDLE);
  for (int i = 0; i < 50; ++i) {
    rig.host.Advance(100);
    RS232_CheckTimeouts(rig.app);
  }
  EXPECT_EQ(Fired("1"), 1);
  EXPECT_EQ(p.totalRetryCount.load(), 0);
}

TEST_F(Timeouts, InterByteTimeoutDropsThePartialPacketAndResends) {
  StartTransfer();
  RS232_SendText(rig.app, 11, "data");
  auto first = device->Written();
  device->ClearWritten();
  auto answer = Frame(10, 1, "1");
  rig.host.Advance(450);
  RS232_ReceiveBytes(rig.app, answer.data(), 6);
  EXPECT_EQ(rig.app.parser.frame.State(), RX_HEADER);
  rig.host.Advance(100);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("2"), 0);
  rig.host.Advance(1);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("2"), 1);
  EXPECT_EQ(Fired("1"), 0);
  EXPECT_EQ(rig.app.parser.frame.State(), RX_HUNT);
  EXPECT_EQ(device->Written(), first);
  EXPECT_EQ(p.linkState.load(), LINK_AWAIT_REPLY);
  // The rest of the cut packet is hunted through, not completed.
  RS232_ReceiveBytes(rig.app, answer.data() + 6, answer.size() - 6);
  EXPECT_EQ(rig.host.PendingPosts(), 0u);
}

TEST_F(Timeouts, ALostSecondMarkDoesNotEndTheAnswerWait) {
  StartTransfer();
  RS232_SendText(rig.app, 11, "data");
  auto sent = device->Written();
  device->ClearWritten();
  // A damaged answer: the first mark, then anything but the second.
  Receive(rig.app, Bytes("~x"));
  EXPECT_EQ(p.linkState.load(), LINK_RECEIVING);
  rig.host.Advance(100);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("2"), 0);
  rig.host.Advance(1);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("2"), 1);
  EXPECT_EQ(device->Written(), sent);
  EXPECT_EQ(p.linkState.load(), LINK_AWAIT_REPLY);
}

TEST_F(Timeouts, RightAcrossTheTickWrap) {
  rig.host.tick = 0xFFFFFF00u;
  StartTransfer();
  RS232_SendText(rig.app, 11, "data");
  rig.host.Advance(500);  // now 0x000000F4
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("1"), 0);
  EXPECT_EQ(rig.host.GetControlText(IDC_STATUS_LINE), "Elapsed Time: 0   Retry Count: 0  ");
  rig.host.Advance(1);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("1"), 1);

  rig.host.tick = 0xFFFFFFC0u;
  Receive(rig.app, Bytes("~~ab"));
  rig.host.Advance(100);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("2"), 0);
  rig.host.Advance(1);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("2"), 1);
}

TEST_F(Timeouts, NoiseWhileAwaitingAnAnswerLeadsToTheInterByteTimeout) {
  StartTransfer();
  RS232_SendText(rig.app, 11, "data");
  rig.host.Advance(50);
  Receive(rig.app, Bytes("zz"));
  EXPECT_EQ(p.linkState.load(), LINK_RECEIVING);
  rig.host.Advance(101);
  RS232_CheckTimeouts(rig.app);
  EXPECT_EQ(Fired("2"), 1);
  EXPECT_EQ(p.lastCause, LOCAL_TIMEOUT);
}

}  // namespace
}  // namespace quillon
