// Received packets acted on by code, from bytes on the line to what the
// user sees.
#include "core/protocol/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/app/main_dialog.h"
#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "support/fakes.h"

namespace quillon {
namespace {

using test::Bytes;

std::vector<uint8_t> Frame(uint16_t command, uint16_t id, const std::string& data) {
  return EncodeFrame(command, id, reinterpret_cast<const uint8_t*>(data.data()),
                     static_cast<uint16_t>(data.size()));
}

struct Dispatch : ::testing::Test {
  test::Rig rig;
  std::shared_ptr<test::FakeSerialDevice> device = rig.OpenFakePort();
  std::vector<uint8_t> lastSent;

  // The host has a packet outstanding, as in a transfer.
  void SetUp() override {
    RS232_SendText(rig.app, 11, "chunk");
    lastSent = device->Written();
    device->ClearWritten();
  }
  // The readout's bytes go through the parser and the UI thread's router.
  void Arrive(const std::vector<uint8_t>& bytes) {
    RS232_ReceiveBytes(rig.app, bytes.data(), bytes.size());
    rig.host.Pump(rig.app);
  }
  void Arrive(uint16_t command, const std::string& data, uint16_t id = 7) {
    Arrive(Frame(command, id, data));
  }
  std::vector<std::string> Lines() { return rig.host.LogLines(); }
};

TEST_F(Dispatch, BadChecksumIsNeverActedOnAndAsksForAResend) {
  for (uint16_t code : std::vector<uint16_t>{1, 3, 10, 15, 19, 23}) {
    auto frame = Frame(code, 7, "0");
    frame[2] ^= 0x01;
    size_t before = Lines().size();
    device->ClearWritten();
    Arrive(frame);
    auto lines = Lines();
    ASSERT_EQ(lines.size(), before + 1) << "code " << code;
    EXPECT_EQ(lines.back(), "Receive Packet has bad checksum.");
    EXPECT_EQ(device->Written(), lastSent) << "code " << code;
    EXPECT_EQ(rig.app.protocol.lastCause, LOCAL_CHECKSUM);
    EXPECT_TRUE(rig.host.Boxes().empty());
  }
  EXPECT_EQ(rig.app.protocol.totalRetryCount.load(), 6);
  // The seventh in a row gives up on the host's packet.
  auto frame = Frame(3, 7, "x");
  frame[3] ^= 0x80;
  Arrive(frame);
  ASSERT_EQ(rig.host.Boxes().size(), 1u);
  EXPECT_EQ(rig.host.Boxes()[0].text, "Retry Error.");
}

TEST_F(Dispatch, ReadoutErrorReportsResendWithTheirCauses) {
  struct Case {
    uint16_t code;
    const char* line;
    int cause;
  } cases[] = {{RS232_CMD_BAD_CHECKSUM, "ERROR RS232_CMD_BAD_CHECKSUM: ", REMOTE_CHECKSUM},
               {RS232_RESEND_REMOTE_TIMEOUT, "ERROR RS232_RESEND_REMOTE_TIMEOUT: ", REMOTE_TIMEOUT}};
  for (const auto& c : cases) {
    device->ClearWritten();
    Arrive(c.code, "1");
    EXPECT_EQ(Lines().back(), c.line);
    EXPECT_EQ(device->Written(), lastSent);
    EXPECT_EQ(rig.app.protocol.lastCause, c.cause);
  }
  EXPECT_EQ(Lines().size(), 2u);
}

TEST_F(Dispatch, LogPacketIsOneDumpLineEachTimeItArrives) {
  Arrive(RS232_LOG, "hello");
  ASSERT_EQ(Lines().size(), 1u);
  EXPECT_EQ(Lines()[0], "LOG:  Id=7, Cmd=3, cs=547,547, len=5,  buf(5)=hello");
  EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_IDLE);
  Arrive(RS232_LOG, "hello");  // the same answer again is handled again
  EXPECT_EQ(Lines(), std::vector<std::string>(2, Lines()[0]));
  // A zero byte ends the text early.
  const std::string withZero("ab\0cd", 5);
  Arrive(RS232_LOG, withZero, 8);
  std::string cs = std::to_string(PacketChecksum(5, 3, 8, Bytes(withZero).data(), 5));
  EXPECT_EQ(Lines().back(), "LOG:  Id=8, Cmd=3, cs=" + cs + "," + cs + ", len=5,  buf(5)=ab");
  EXPECT_TRUE(device->Writes().empty());
}

TEST_F(Dispatch, FlashEraseResultIsShownInABoxAndNoOperationDoesNothing) {
  Arrive(RS232_NOP, "whatever");
  EXPECT_TRUE(rig.host.Boxes().empty());
  for (const char* data : {"0", "00", ""}) Arrive(RS232_FLASH_ERASE_RESULT, data);
  auto boxes = rig.host.Boxes();
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].text, "Flash erase successful.");
  EXPECT_EQ(boxes[1].text, "Flash erase failure: 00");
  EXPECT_EQ(boxes[2].text, "Flash erase failure: ");
  for (auto& box : boxes) {
    EXPECT_EQ(box.caption, APP_TITLE);
    EXPECT_EQ(box.style, MB_STYLE_OK);
    EXPECT_TRUE(box.owned);
  }
  EXPECT_TRUE(Lines().empty());
  EXPECT_TRUE(device->Writes().empty());
  EXPECT_EQ(rig.host.Beeps(), 0);
  EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_IDLE);
}

TEST_F(Dispatch, AnUnaskedPacketDuringATransferDoesNotEndTheAnswerWait) {
  rig.app.protocol.transferActive = 1;
  rig.host.AddControl(IDC_STATUS_LINE);
  // A log line, a no-operation, an erase result and an unknown code, each
  // followed by the loss of the answer: the chunk is resent on time.
  int resends = 0;
  for (uint16_t code : std::vector<uint16_t>{RS232_LOG, RS232_NOP, RS232_FLASH_ERASE_RESULT, 19}) {
    device->ClearWritten();
    uint32_t sentAt = rig.app.protocol.lastSendTick.load();
    Arrive(code, "1");
    EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_AWAIT_REPLY) << "code " << code;
    // The wait runs from the send, not from the unasked packet.
    rig.host.tick = sentAt + 501;
    RS232_CheckTimeouts(rig.app);
    EXPECT_EQ(device->Written(), lastSent) << "code " << code;
    EXPECT_EQ(rig.app.protocol.totalRetryCount.load(), ++resends);
  }
  EXPECT_EQ(rig.app.protocol.transferActive.load(), 1);
  // Outside a transfer nothing waits, and nothing is made to.
  rig.app.protocol.transferActive = 0;
  rig.app.protocol.linkState = LINK_IDLE;
  Arrive(RS232_LOG, "1");
  EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_IDLE);
}

TEST_F(Dispatch, UnknownCodesGetTheDumpAndTheLastCommand) {
  Arrive(RS232_TEST, "100000", 1);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  uint16_t cs = PacketChecksum(6, 19, 1, Bytes("100000").data(), 6);
  EXPECT_EQ(lines[0], "ERROR Unknown Command:  Id=1, Cmd=19, cs=" + std::to_string(cs) + "," +
                          std::to_string(cs) + ", len=6,  buf(6)=100000");
  EXPECT_EQ(lines[1], "LAST COMMAND: Resend=0, Id=1, Cmd=11, cs=" +
                          std::to_string(PacketChecksum(5, 11, 1, Bytes("chunk").data(), 5)) +
                          ", buf(5)=chunk, cause=Unknown");

  for (uint16_t code : std::vector<uint16_t>{0, 4, 9, 14, 24, 0x7E7E, 65535}) {
    size_t before = Lines().size();
    Arrive(code, "x");
    ASSERT_EQ(Lines().size(), before + 2) << "code " << code;
    EXPECT_EQ(Lines()[before].rfind("ERROR Unknown Command:  Id=7, Cmd=" + std::to_string(code), 0),
              0u);
    EXPECT_EQ(Lines()[before + 1].rfind("LAST COMMAND: ", 0), 0u);
  }
  EXPECT_TRUE(device->Writes().empty());
  EXPECT_EQ(rig.app.protocol.totalRetryCount.load(), 0);
}

TEST(DispatchDirect, APacketMadeElsewhereIsHeldToTheDataArea) {
  test::Rig rig;
  auto packet = std::make_unique<ReceivedPacket>();
  packet->command = RS232_FLASH_ERASE_RESULT;
  packet->length = 600;  // more than the area: the text ends at its edge
  packet->dataCount = 600;
  std::fill(std::begin(packet->data), std::end(packet->data), 'e');
  RS232_LogPacket(rig.app, "X", *packet);
  EXPECT_EQ(rig.host.LogLines().back(),
            "X Id=0, Cmd=15, cs=0,0, len=600,  buf(600)=" + std::string(512, 'e'));
  RS232_DispatchPacket(rig.app, std::move(packet));
  ASSERT_EQ(rig.host.Boxes().size(), 1u);
  EXPECT_EQ(rig.host.Boxes()[0].text, "Flash erase failure: " + std::string(512, 'e'));
}

}  // namespace
}  // namespace quillon
