#include <gtest/gtest.h>

#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "core/transfer/nlec.h"
#include "core/transfer/session.h"
#include "transfer_test_support.h"

namespace quillon::test {
namespace {

class Nlec : public TransferTest {
 protected:
  // Offers the table, starts the send and answers every line request until
  // the end packet has closed the file.
  void Send(const std::string& table) {
    Offer("table.txt", table);
    ASSERT_TRUE(StartNlecSend(rig.app, IDC_NLEC_SEND));
    for (int i = 0; i < 10000 && rig.app.nlecFile.file != nullptr; ++i)
      Feed(HandleNlecLineRequest, RS232_NLEC_LINE, "");
  }
};

std::string SumOf(const std::string& text) {
  unsigned sum = 0;
  for (unsigned char c : text) sum += c;
  return std::to_string(sum & 0xFFFF);
}

TEST_F(Nlec, SendTurnsCrLfIntoLfAndSumsWhatItSends) {
  rig.host.AddControl(IDC_NLEC_SEND, "Send NLEC");
  rig.host.tick.store(0xFFFFF000u);  // the elapsed time crosses the counter's wrap
  // A lone CR stays; Ctrl-Z ends the text.
  Send("12\r\n3\r45\r\n\x1a" "99\r\n");
  EXPECT_EQ(LastLog(), "Sending NLEC...");
  EXPECT_EQ(rig.host.openRequests.at(0).first, NlecFilter());

  const std::string text = "12\n3\r45\n";
  auto strip = rig.host.Strips().at(0);
  EXPECT_EQ(strip.maximum, text.size());
  EXPECT_EQ(strip.position, text.size());
  EXPECT_FALSE(strip.form32);
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].command, RS232_NLEC_SEND_START);
  EXPECT_EQ(sent[0].data, SumOf(text));
  EXPECT_EQ(sent[1].command, RS232_NLEC_LINE);
  EXPECT_EQ(sent[1].data, "12\n");
  EXPECT_EQ(sent[2].data, "3\r45\n");
  EXPECT_EQ(sent[3].command, RS232_NLEC_SEND_END);
  EXPECT_EQ(sent[3].data, "1");

  rig.host.Advance(59999);
  Feed(HandleNlecSendResult, RS232_NLEC_SEND_END, SumOf(text));
  const char* done = "NLEC Transfer completed in 59 seconds.";
  EXPECT_EQ(LastLog(), done);
  ASSERT_EQ(rig.host.Boxes().size(), 1u);
  EXPECT_EQ(rig.host.Boxes()[0].text, done);
  EXPECT_EQ(rig.host.Boxes()[0].caption, APP_TITLE);
  EXPECT_FALSE(Active());
  EXPECT_TRUE(rig.host.Strips().at(0).destroyed);
  EXPECT_EQ(rig.host.GetControlText(IDC_NLEC_SEND), "Send NLEC");
}

TEST_F(Nlec, LongLinesGoOutIn511CharacterPiecesAndNulEndsAPiece) {
  Send(std::string(1000, 'a') + "\r\nab" + std::string(1, '\0') + "cd\n");
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0].data, SumOf(std::string(1000, 'a') + "\nab"));
  EXPECT_EQ(sent[1].data, std::string(511, 'a'));
  EXPECT_EQ(sent[2].data, std::string(489, 'a') + "\n");
  EXPECT_EQ(sent[3].data, "ab");
  EXPECT_EQ(rig.app.nlecFile.count, 1003);
}

TEST_F(Nlec, LargeTableStripCarriesTheCountModulo65536) {
  std::string table;
  for (int i = 0; i < 700; ++i) table += std::string(99, 'z') + "\n";
  Offer("big.txt", table);
  ASSERT_TRUE(StartNlecSend(rig.app, IDC_NLEC_SEND));
  EXPECT_EQ(rig.app.nlecFile.count, 70000);
  EXPECT_EQ(rig.host.Strips().at(0).maximum, 70000u - 65536u);
  EXPECT_EQ(Sent().at(0).data, SumOf(table));
}

TEST_F(Nlec, ChecksumMismatchAndOverLongTextFail) {
  Send("");
  EXPECT_EQ(Sent().at(0).data, "0");
  EXPECT_EQ(Sent().at(1).command, RS232_NLEC_SEND_END);
  EXPECT_EQ(rig.host.Strips().at(0).maximum, 0u);
  for (const std::string& text : std::vector<std::string>{"5", std::string(128, '0')}) {
    Feed(HandleNlecSendResult, RS232_NLEC_SEND_END, text);
    EXPECT_EQ(LastBox(), "Nlec Checksum Failure.");
    EXPECT_EQ(LastLog(), "Nlec Checksum Failure.");
  }
  Feed(HandleNlecSendResult, RS232_NLEC_SEND_END, "65536");
  EXPECT_EQ(LastBox(), "NLEC Transfer completed in 0 seconds.");
}

TEST_F(Nlec, GetWritesEachLineWithCrLf) {
  rig.host.AddControl(IDC_NLEC_GET, "Get NLEC");
  rig.host.saveAnswers.push_back(Path("got.txt"));
  RunTransferCommand(rig.app, IDC_NLEC_GET);
  ASSERT_TRUE(Active());
  EXPECT_EQ(LastLog(), "Getting NLEC...");
  EXPECT_EQ(rig.host.saveRequests.at(0).first, NlecFilter());

  Feed(HandleNlecLineCount, RS232_NLEC_GET_START, "3");
  EXPECT_EQ(rig.host.Strips().at(0).maximum, 3u);
  EXPECT_FALSE(rig.host.Strips().at(0).form32);
  Feed(HandleNlecLine, RS232_NLEC_GET_LINE, "1,2,3");
  Feed(HandleNlecLine, RS232_NLEC_GET_LINE, std::string("4,5\0junk", 8));
  rig.host.Advance(1500);
  Feed(HandleNlecLastLine, RS232_NLEC_GET_END, "6");

  EXPECT_EQ(ReadFile("got.txt"), "1,2,3\r\n4,5\r\n6\r\n");
  auto sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].command, RS232_NLEC_GET_START);
  EXPECT_EQ(sent[0].data, "1");
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(sent[i].command, RS232_NLEC_GET_LINE);
  EXPECT_EQ(rig.host.Strips().at(0).position, 2u);
  EXPECT_EQ(LastBox(), "NLEC Transfer completed in 1 seconds.");
  EXPECT_FALSE(Active());
  EXPECT_EQ(rig.app.nlecFile.file, nullptr);
  EXPECT_EQ(rig.host.GetControlText(IDC_NLEC_GET), "Get NLEC");
}

TEST_F(Nlec, TableTheDiskRefusedIsNotReportedAsReceived) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  rig.host.saveAnswers.push_back("/dev/full");
  ASSERT_TRUE(StartNlecGet(rig.app, IDC_NLEC_GET));
  Feed(HandleNlecLastLine, RS232_NLEC_GET_END, "only");
  EXPECT_EQ(LastBox(), "NLEC Transfer error.");
  EXPECT_EQ(rig.app.nlecFile.file, nullptr);
  EXPECT_FALSE(Active());
}

TEST_F(Nlec, StopDuringAGetWritesAndSendsNothingMore) {
  rig.host.saveAnswers.push_back(Path("got.txt"));
  ASSERT_TRUE(StartNlecGet(rig.app, IDC_NLEC_GET));
  Feed(HandleNlecLine, RS232_NLEC_GET_LINE, "first");
  RunTransferCommand(rig.app, IDC_NLEC_SEND);  // the stop
  EXPECT_FALSE(Active());
  port->ClearWritten();
  size_t boxes = rig.host.Boxes().size();

  Feed(HandleNlecLine, RS232_NLEC_GET_LINE, "second");
  Feed(HandleNlecLastLine, RS232_NLEC_GET_END, "third");
  Feed(HandleNlecLineRequest, RS232_NLEC_LINE, "");  // no table open to send from
  EXPECT_EQ(ReadFile("got.txt"), "first\r\n");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(rig.host.Boxes().size(), boxes);
}

TEST_F(Nlec, ReadoutErrorStopsThroughTheNlecCommandOnlyWhileActive) {
  rig.host.AddControl(IDC_NLEC_SEND, "Stop Transfer");
  Offer("table.txt", "1\n2\n");
  ASSERT_TRUE(StartNlecSend(rig.app, IDC_NLEC_SEND));
  Feed(HandleNlecError, RS232_NLEC_ERROR, "");
  EXPECT_EQ(rig.app.nlecFile.file, nullptr);
  EXPECT_EQ(LastLog(), "NLEC Transfer error.");
  EXPECT_TRUE(rig.host.Strips().at(0).destroyed);
  EXPECT_TRUE(Active());  // the posted command ends it
  EXPECT_EQ(rig.host.Pump(rig.app), 1u);
  EXPECT_FALSE(Active());
  EXPECT_EQ(LastLog(), "Nlec transfer halted.");
  EXPECT_EQ(rig.host.GetControlText(IDC_NLEC_SEND), "Send NLEC");

  // Idle (code 8 with no transfer): logged, and nothing is started in answer.
  Feed(HandleNlecError, RS232_NLEC_ERROR, "");
  EXPECT_EQ(LastLog(), "NLEC Transfer error.");
  EXPECT_EQ(rig.host.PendingPosts(), 0u);
  EXPECT_EQ(rig.host.openRequests.size(), 1u);
}

}  // namespace
}  // namespace quillon::test
