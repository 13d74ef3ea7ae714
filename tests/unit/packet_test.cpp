// Sending, resending and giving up on packets.
#include "core/protocol/packet.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "support/fakes.h"

namespace quillon {
namespace {

using test::Bytes;

std::vector<uint8_t> Frame(uint16_t command, uint16_t id, const std::string& data) {
  return EncodeFrame(command, id, reinterpret_cast<const uint8_t*>(data.data()),
                     static_cast<uint16_t>(data.size()));
}

int Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

TEST(Packet, TestCommandWritesTheExampleFrameInTwoWritesAndLogsIt) {
  test::Rig rig;
  auto device = rig.OpenFakePort();
  rig.host.tick = 4242;

  OnCommand(rig.app, IDC_TEST);

  std::vector<uint8_t> header = {0x7E, 0x7E, 0x3B, 0x01, 0x06, 0x00, 0x13, 0x00, 0x01, 0x00};
  auto writes = device->Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], header);
  EXPECT_EQ(writes[1], Bytes("100000"));
  EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_AWAIT_REPLY);
  EXPECT_EQ(rig.app.protocol.lastSendTick.load(), 4242u);
  EXPECT_EQ(rig.app.protocol.transferActive.load(), 0);  // no transfer is started

  RS232_LogLastCommand(rig.app);
  EXPECT_EQ(rig.host.LogLines().back(),
            "LAST COMMAND: Resend=0, Id=1, Cmd=19, cs=315, buf(6)=100000, cause=Unknown");
}

TEST(Packet, IdsWrapAfter65535AndAnEmptyPacketKeepsTheRetainedData) {
  test::Rig rig;
  auto device = rig.OpenFakePort();
  rig.app.protocol.idCounter = 65534;
  for (int i = 0; i < 3; ++i) RS232_SendText(rig.app, 11, "c");
  std::vector<uint8_t> expected;
  for (int id : {65535, 0, 1}) {
    auto frame = Frame(11, static_cast<uint16_t>(id), "c");
    expected.insert(expected.end(), frame.begin(), frame.end());
  }
  EXPECT_EQ(device->Written(), expected);
  // A packet without data is the header alone, both sent and resent.
  device->ClearWritten();
  RS232_SendPacket(rig.app, 12, nullptr, 0);
  RS232_ResendPacket(rig.app, REMOTE_TIMEOUT);
  EXPECT_EQ(device->Writes(), (std::vector<std::vector<uint8_t>>{Frame(12, 2, ""), Frame(12, 2, "")}));
  EXPECT_EQ(rig.app.protocol.retainedData, Bytes("c"));
  RS232_LogLastCommand(rig.app);
  EXPECT_EQ(rig.host.LogLines().back(),
            "LAST COMMAND: Resend=1, Id=2, Cmd=12, cs=14, buf(0)=, cause=REMOTE_TIMEOUT");
}

TEST(Packet, ResendWritesTheFirstTransmissionAgain) {
  test::Rig rig;
  auto device = rig.OpenFakePort();
  // 0x7E in the data and checksum fields is sent as it is: no escaping.
  std::string data = "~~x";
  RS232_SendText(rig.app, 6, data);
  auto first = device->Writes();
  device->ClearWritten();
  rig.app.protocol.linkState = LINK_IDLE;
  rig.host.Advance(700);

  RS232_ResendPacket(rig.app, REMOTE_CHECKSUM);

  EXPECT_EQ(device->Writes(), first);
  EXPECT_EQ(rig.app.protocol.lastSendTick.load(), rig.host.tick.load());
  RS232_LogLastCommand(rig.app);
  EXPECT_EQ(rig.host.LogLines().back(),
            "LAST COMMAND: Resend=1, Id=1, Cmd=6, cs=" +
                std::to_string(PacketChecksum(3, 6, 1, Bytes(data).data(), 3)) +
                ", buf(3)=~~x, cause=REMOTE_CHECKSUM");

  // A new packet clears the resend flag but not the cause.
  RS232_SendText(rig.app, 6, "y");
  RS232_LogLastCommand(rig.app);
  EXPECT_NE(rig.host.LogLines().back().find("Resend=0, Id=2, Cmd=6, cs="), std::string::npos);
  EXPECT_NE(rig.host.LogLines().back().find("cause=REMOTE_CHECKSUM"), std::string::npos);
}

// A transfer in progress, as a start would leave it.
struct GiveUpFixture : ::testing::Test {
  test::Rig rig;
  std::shared_ptr<test::FakeSerialDevice> device = rig.OpenFakePort();

  void SetUp() override {
    rig.host.AddControl(IDC_SEND_SETTINGS, "Stop Transfer");
    rig.app.session.startButton = IDC_SEND_SETTINGS;
    rig.app.session.savedCaption = "Send Settings";
    rig.app.protocol.transferActive = 1;
    rig.host.CreateProgressStrip(100, false);
    RS232_SendText(rig.app, 11, "chunk");
  }

  // Six requests are carried out, each writing the packet again.
  void SixResends() {
    auto frame = Frame(11, rig.app.protocol.lastHeader.Id(), "chunk");
    size_t boxes = rig.host.Boxes().size();
    for (int i = 0; i < 6; ++i) {
      device->ClearWritten();
      RS232_ResendPacket(rig.app, LOCAL_TIMEOUT);
      ASSERT_EQ(device->Written(), frame) << "resend " << i + 1;
    }
    EXPECT_EQ(rig.app.protocol.transferActive.load(), 1);
    EXPECT_EQ(rig.host.Boxes().size(), boxes);
  }

  void ExpectGivenUp() {
    EXPECT_TRUE(device->Writes().empty());
    EXPECT_EQ(rig.app.protocol.transferActive.load(), 0);
    EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_IDLE);
    EXPECT_TRUE(rig.host.Strips().back().destroyed);
    EXPECT_EQ(rig.host.GetControlText(IDC_SEND_SETTINGS), "Send Settings");
  }
};

TEST_F(GiveUpFixture, SeventhRequestGivesUpWithOrWithoutANotifier) {
  struct Case {
    ResultNotifier* notifier;
    const char* text;
    int beeps;  // with a notifier: one where the result is reported, one from it
  } cases[] = {{nullptr, "Retry Error.", 1},
               {&rig.app.session.fileNotifier, "Binary Test transfer failure. Retry count exceeded.", 2},
               {&rig.app.session.nlecNotifier, "Nlec transfer failure. Retry count exceeded.", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SetUp();
    rig.app.session.notifier = c.notifier;
    size_t boxes = rig.host.Boxes().size();
    int beeps = rig.host.Beeps();
    SixResends();
    device->ClearWritten();
    RS232_ResendPacket(rig.app, c.notifier ? REMOTE_TIMEOUT : LOCAL_TIMEOUT);
    ExpectGivenUp();
    EXPECT_EQ(Count(rig.host.LogLines(), c.text), 1);
    EXPECT_EQ(rig.host.Beeps(), beeps + c.beeps);
    ASSERT_EQ(rig.host.Boxes().size(), boxes + 1);
    auto box = rig.host.Boxes().back();
    EXPECT_EQ(box.text, c.text);
    EXPECT_EQ(box.caption, APP_TITLE);
    EXPECT_EQ(box.style, MB_STYLE_OK);
  }
  EXPECT_EQ(Count(rig.host.LogLines(), "Retry Error."), 1);  // never besides a notifier's text

  // Every further request for the same packet gives up again.
  RS232_ResendPacket(rig.app, LOCAL_CHECKSUM);
  EXPECT_EQ(rig.host.Boxes().size(), 4u);
  EXPECT_TRUE(device->Writes().empty());

  // Another packet, even id 0 after the wrap, starts the count again.
  rig.app.protocol.transferActive = 1;
  rig.app.protocol.idCounter = 65535;
  RS232_SendText(rig.app, 11, "chunk");
  ASSERT_EQ(rig.app.protocol.lastHeader.Id(), 0);
  SixResends();
  RS232_ResendPacket(rig.app, LOCAL_TIMEOUT);
  EXPECT_EQ(rig.host.Boxes().size(), 5u);
}

TEST(Packet, NothingIsResentBeforeTheFirstPacketNorForALongCommand) {
  test::Rig rig;
  auto device = rig.OpenFakePort();
  for (int i = 0; i < 10; ++i) RS232_ResendPacket(rig.app, REMOTE_CHECKSUM);
  EXPECT_TRUE(device->Writes().empty());
  RS232_SendText(rig.app, RS232_LONG_COMMAND, "1");
  device->ClearWritten();
  rig.app.protocol.linkState = LINK_IDLE;
  for (int i = 0; i < 10; ++i) RS232_ResendPacket(rig.app, LOCAL_TIMEOUT);
  EXPECT_TRUE(device->Writes().empty());
  EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_IDLE);
  EXPECT_EQ(rig.app.protocol.totalRetryCount.load(), 0);
  EXPECT_EQ(rig.app.protocol.resendFlag, 0);
  EXPECT_TRUE(rig.host.Boxes().empty());
}

TEST(Packet, FailedWritesStillCountAsSent) {
  test::Rig rig;
  auto device = rig.OpenFakePort();
  device->writeFails = true;
  EXPECT_EQ(RS232_SendText(rig.app, 16, "1"), 1);
  EXPECT_EQ(device->clearErrors.load(), 2);  // header and data
  EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_AWAIT_REPLY);
  EXPECT_EQ(rig.app.protocol.retainedData, Bytes("1"));

  // And with no port at all.
  test::Rig closed;
  EXPECT_EQ(RS232_SendText(closed.app, 16, "1"), 1);
  EXPECT_EQ(closed.app.protocol.lastHeader.Id(), 1);
  EXPECT_EQ(closed.app.protocol.linkState.load(), LINK_AWAIT_REPLY);
}

}  // namespace
}  // namespace quillon
