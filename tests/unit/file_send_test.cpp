#include <gtest/gtest.h>

#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "core/transfer/file_send.h"
#include "core/transfer/session.h"
#include "transfer_test_support.h"

namespace quillon::test {
namespace {

using FileSend = TransferTest;

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X ", b);
    out += buf;
  }
  return out;
}

TEST(BitmapText, MarkersDigitsAndPieces) {
  const std::pair<std::string, const char*> cases[] = {
      {"0x1F, 0xa0,\n", "1F A0 "},
      {"0x5, 0x12\n", "50 12 "},
      {"char box 0xFF;\n", "0F "},
      {"{ 0x00, 0xFF }\n", "00 FF "},
      {"0X1F, 0XA0\n", ""},             // upper-case X is no marker
      {"0x1\nF 0x22\n", "22 "},         // digits in the next line do not count
      {std::string(1018, ' ') + "0x12 0x34\n", "12 34 "},  // a piece holds 1022 characters
      {std::string(1019, ' ') + "0x12 0x34\n", "34 "},
      {std::string(1020, ' ') + "0x12 0x34\n", "34 "}};
  for (const auto& [text, hex] : cases) EXPECT_EQ(Hex(ConvertBitmapText(text)), hex) << text.size();

  int count = 0;
  for (int c = -1; c < 256; ++c) count += IsHexDigit(c) ? 1 : 0;
  EXPECT_EQ(count, 22);
  EXPECT_FALSE(IsHexDigit('g'));
  EXPECT_FALSE(IsHexDigit(0xB2));
}

TEST_F(FileSend, EmptySettingsFileSendsHeaderThenEnd) {
  rig.host.AddControl(IDC_SEND_SETTINGS, "Send Settings");
  Offer("empty.bin", "");
  ASSERT_TRUE(StartFileSend(rig.app, IDC_SEND_SETTINGS, "Sending Settings..."));
  EXPECT_TRUE(Active());
  EXPECT_EQ(rig.host.GetControlText(IDC_SEND_SETTINGS), "Stop Transfer");
  EXPECT_EQ(LastLog(), "Sending Settings...");
  EXPECT_EQ(rig.host.openRequests.at(0).first, FileTransferFilter());

  Feed(HandleFileChunkRequest, RS232_FILE_SEND_START, "");
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].command, RS232_FILE_SEND_START);
  EXPECT_EQ(sent[0].data, "25,0,0,");
  EXPECT_EQ(sent[1].command, RS232_FILE_SEND_END);
  EXPECT_EQ(sent[1].data, "1");
}

TEST_F(FileSend, ChunksOf128AndTheStripSkipsOneByteChunks) {
  for (size_t size : {256u, 129u}) {
    SCOPED_TRACE(size);
    port->ClearWritten();
    std::string bytes;
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) {
      bytes.push_back(static_cast<char>(i * 7));
      sum += static_cast<unsigned char>(bytes.back());
    }
    Offer("prog.bin", bytes);
    ASSERT_TRUE(StartFileSend(rig.app, IDC_SEND_PROGRAM, "Sending Program File..."));
    for (int i = 0; i < 4; ++i) Feed(HandleFileChunkRequest, RS232_FILE_CHUNK, "");

    auto sent = Sent();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0].data, "26," + std::to_string(sum & 0xFFFF) + "," + std::to_string(size) + ",");
    EXPECT_EQ(sent[1].command, RS232_FILE_CHUNK);
    EXPECT_EQ(sent[1].data + sent[2].data, bytes);
    EXPECT_EQ(sent[1].data.size(), 128u);
    EXPECT_EQ(sent[3].command, RS232_FILE_SEND_END);
    EXPECT_EQ(sent[4].command, RS232_FILE_SEND_END);  // the file stays at its end
    auto strip = rig.host.Strips().back();
    EXPECT_EQ(strip.maximum, size);
    EXPECT_TRUE(strip.form32);
    // 256 bytes: two chunks, a full strip; a last chunk of one byte leaves it one short.
    EXPECT_EQ(strip.position, size == 256 ? 256u : 128u);
  }
}

TEST_F(FileSend, ChecksumMatchesOnTheLow16BitsOfAShortText) {
  // 257 bytes of FF and one 01: the sum is exactly 65536.
  Offer("s.bin", std::string(257, '\xFF') + "\x01");
  ASSERT_TRUE(StartFileSend(rig.app, IDC_SEND_SETTINGS, "Sending Settings..."));
  EXPECT_EQ(Sent().at(0).data, "25,0,258,");

  for (const std::string& text :
       std::vector<std::string>{"0", "65536", " -65536x", std::string(127, '0')}) {
    Feed(HandleFileSendResult, RS232_FILE_SEND_END, text);
    EXPECT_EQ(LastBox(), "Transfer of settings sucessfully completed.") << text;
  }
  for (const std::string& text : std::vector<std::string>{"1", std::string(128, '0')}) {
    Feed(HandleFileSendResult, RS232_FILE_SEND_END, text);
    EXPECT_EQ(LastBox(), "Settings transfer failure.") << text.size();
  }
  EXPECT_FALSE(Active());
  EXPECT_TRUE(rig.host.Strips().back().destroyed);
  EXPECT_NE(rig.app.dataFile.file, nullptr);  // kept open until the next start
}

TEST_F(FileSend, EachKindReportsItsOwnTexts) {
  struct Case {
    int command;
    const char* success;
    const char* failure;
  };
  const Case cases[] = {
      {IDC_SEND_BITMAP, "Bitmap Transfer sucessfully completed.", "Bitmap transfer failure."},
      {IDC_SEND_SETTINGS, "Transfer of settings sucessfully completed.",
       "Settings transfer failure."},
      {IDC_SEND_PROGRAM, "Transfer of program sucessfully completed.", "Program transfer failure."},
      {IDC_TEST, "Binary Transfer sucessfully completed.", "Binary Test transfer failure."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    rig.host.AddControl(c.command, "Start");
    Offer("src.txt", "0x41\n");
    ASSERT_TRUE(StartFileSend(rig.app, c.command, "go"));
    int beeps = rig.host.Beeps();
    Feed(HandleFileSendResult, RS232_FILE_SEND_END, c.command == IDC_SEND_BITMAP ? "65" : "279");
    EXPECT_EQ(LastBox(), c.success);
    EXPECT_EQ(LastLog(), c.success);
    EXPECT_EQ(rig.host.GetControlText(c.command), "Start");
    EXPECT_EQ(rig.host.Beeps(), beeps + 2);  // the reporting site's and the notifier's
    Feed(HandleFileSendResult, RS232_FILE_SEND_END, "7");
    EXPECT_EQ(LastBox(), c.failure);
  }
}

TEST_F(FileSend, BitmapListingIsConvertedAsTextAndSent) {
  // CR LF reads as LF, a lone CR stays, Ctrl-Z ends the text.
  Offer("pic.txt", "0x1F, 0xa0,\r\n0x5,\r 0x12\r\n\x1a 0x33\n");
  ASSERT_TRUE(StartFileSend(rig.app, IDC_SEND_BITMAP, "Sending Bitmap File..."));
  EXPECT_EQ(Hex(ReadFile("bitmap.bin")), "1F A0 50 12 ");
  EXPECT_EQ(rig.app.dataFile.name, "bitmap.bin");
  EXPECT_EQ(rig.host.openRequests.at(0).second, "");  // its own, empty name
  Feed(HandleFileChunkRequest, RS232_FILE_SEND_START, "");
  auto sent = Sent();
  EXPECT_EQ(sent.at(0).data, "24," + std::to_string(0x1F + 0xA0 + 0x50 + 0x12) + ",4,");
  EXPECT_EQ(Hex(sent.at(1).data), "1F A0 50 12 ");

  // Another kind closes the left-over bitmap.bin without deleting it ...
  Offer("settings.bin", "s");
  ASSERT_TRUE(StartFileSend(rig.app, IDC_SEND_SETTINGS, "Sending Settings..."));
  EXPECT_TRUE(std::filesystem::exists("bitmap.bin"));
  // ... a bitmap start deletes it whatever was open, even when then cancelled.
  rig.host.openAnswers.push_back(std::nullopt);
  EXPECT_FALSE(StartFileSend(rig.app, IDC_SEND_BITMAP, "Sending Bitmap File..."));
  EXPECT_FALSE(std::filesystem::exists("bitmap.bin"));
}

TEST_F(FileSend, CancelledUnreadableOrUnstartedSendsNothing) {
  rig.host.openAnswers.push_back(std::nullopt);
  rig.host.openAnswers.push_back(Path("missing.bin"));
  EXPECT_FALSE(StartFileSend(rig.app, IDC_SEND_PROGRAM, "x"));
  EXPECT_FALSE(StartFileSend(rig.app, IDC_SEND_PROGRAM, "x"));
  EXPECT_EQ(rig.app.session.kind, FILE_KIND_PROGRAM);
  EXPECT_FALSE(Active());
  EXPECT_TRUE(rig.host.Strips().empty());
  EXPECT_TRUE(rig.host.LogLines().empty());
  Feed(HandleFileChunkRequest, RS232_FILE_CHUNK, "");  // no file open
  EXPECT_TRUE(Sent().empty());
}

TEST_F(FileSend, ReadoutErrorWhileActiveLogsItsTextAndRemovesTheBitmap) {
  rig.host.AddControl(IDC_SEND_BITMAP, "Send Bitmap");
  Offer("pic.txt", "0x01\n");
  ASSERT_TRUE(StartFileSend(rig.app, IDC_SEND_BITMAP, "Sending Bitmap File..."));
  int beeps = rig.host.Beeps();
  Feed(HandleFileError, RS232_FILE_ERROR, std::string("no room %s%n\0tail", 17));

  auto lines = rig.host.LogLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
            (std::vector<std::string>{"Bitmap Transfer error.", "Bitmap transfer halted.",
                                      "no room %s%n", "Bitmap transfer failure."}));
  EXPECT_EQ(LastBox(), "Bitmap transfer failure.");
  EXPECT_EQ(rig.host.Beeps(), beeps + 3);
  EXPECT_FALSE(Active());
  EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_IDLE);
  EXPECT_EQ(rig.app.dataFile.file, nullptr);
  EXPECT_FALSE(std::filesystem::exists("bitmap.bin"));
  EXPECT_EQ(rig.host.GetControlText(IDC_SEND_BITMAP), "Send Bitmap");
}

TEST_F(FileSend, ReadoutErrorWhileIdleHasNoHaltedLine) {
  Feed(HandleFileError, RS232_FILE_ERROR, "late");
  auto lines = rig.host.LogLines();
  EXPECT_TRUE(HasLine(lines, "Binary Transfer error."));
  EXPECT_FALSE(HasLine(lines, "Binary transfer halted."));
  EXPECT_FALSE(HasLine(lines, "late"));
  // No start has chosen a notifier yet: the text passed is shown as it is.
  EXPECT_EQ(LastBox(), "Transfer error.");
  EXPECT_EQ(rig.host.Beeps(), 1);
}

}  // namespace
}  // namespace quillon::test
