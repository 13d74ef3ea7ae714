#include <gtest/gtest.h>

#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "core/transfer/file_send.h"
#include "core/transfer/session.h"
#include "core/transfer/transfer_control.h"
#include "transfer_test_support.h"

namespace quillon::test {
namespace {

using TransferControl = TransferTest;

TEST_F(TransferControl, BeginTransferSavesTheCaptionCutAndSetsTheSession) {
  rig.host.AddControl(IDC_SEND_SETTINGS, std::string(200, 'c'));
  rig.app.protocol.totalRetryCount.store(5);
  rig.host.tick.store(4242);
  BeginTransfer(rig.app, IDC_SEND_SETTINGS, &rig.app.session.fileNotifier);
  EXPECT_TRUE(Active());
  EXPECT_EQ(rig.app.protocol.totalRetryCount.load(), 0);
  EXPECT_EQ(rig.app.session.startTick, 4242u);
  EXPECT_EQ(rig.app.session.notifier, &rig.app.session.fileNotifier);
  EXPECT_EQ(rig.app.session.startButton, IDC_SEND_SETTINGS);
  EXPECT_EQ(rig.host.GetControlText(IDC_SEND_SETTINGS), "Stop Transfer");
  RestoreStartButton(rig.app);
  EXPECT_EQ(rig.host.GetControlText(IDC_SEND_SETTINGS), std::string(127, 'c'));

  // Without a button it still starts, and no stale caption is kept.
  rig.app.session.savedCaption = "left over";
  BeginTransfer(rig.app, IDC_NLEC_GET, &rig.app.session.nlecNotifier);
  EXPECT_TRUE(Active());
  EXPECT_EQ(rig.app.session.savedCaption, "");
}

TEST_F(TransferControl, DataFileCloseDeletesBitmapBinOnlyForAnOpenBitmapFile) {
  WriteFile("bitmap.bin", "xyz");
  rig.app.session.kind = FILE_KIND_BITMAP;
  CloseDataFile(rig.app);  // nothing open: nothing deleted
  EXPECT_TRUE(std::filesystem::exists("bitmap.bin"));
  for (int kind : {FILE_KIND_SETTINGS, FILE_KIND_BITMAP}) {
    rig.app.dataFile.file = std::fopen("bitmap.bin", "rb");
    rig.app.session.kind = kind;
    CloseTransferFiles(rig.app);
    EXPECT_EQ(rig.app.dataFile.file, nullptr);
    EXPECT_EQ(std::filesystem::exists("bitmap.bin"), kind != FILE_KIND_BITMAP);
  }
}

TEST_F(TransferControl, ChoosersUseTheFamilyFilterAndCutLongNames) {
  std::string name = "previous.txt";
  rig.host.openAnswers.push_back(std::string(300, 'n'));
  ASSERT_TRUE(ChooseOpenFile(rig.app, name, NlecFilter()));
  EXPECT_EQ(name.size(), 255u);
  ASSERT_EQ(rig.host.openRequests.size(), 1u);
  EXPECT_EQ(rig.host.openRequests[0].second, "previous.txt");
  const FileFilter nlec{{"NLEC Files (*.TXT)", "*.TXT"}, {"ALL Files (*.*)", "*.*"}};
  EXPECT_EQ(rig.host.openRequests[0].first, nlec);
  rig.host.saveAnswers.push_back(std::nullopt);
  EXPECT_FALSE(ChooseSaveFile(rig.app, name, FileTransferFilter()));
  EXPECT_EQ(rig.host.saveRequests.at(0).first, (FileFilter{{"ALL Files (*.*)", "*.*"}}));
}

TEST_F(TransferControl, NlecCommandDuringAFileSendStopsTheDialogueOnly) {
  rig.host.AddControl(IDC_SEND_SETTINGS, "Send Settings");
  rig.host.AddControl(IDC_NLEC_SEND, "x");
  rig.host.AddControl(IDC_NLEC_GET, "y");
  Offer("settings.bin", "abc");
  RunTransferCommand(rig.app, IDC_SEND_SETTINGS);
  ASSERT_TRUE(Active());
  int beeps = rig.host.Beeps();

  RunTransferCommand(rig.app, IDC_NLEC_SEND);
  EXPECT_FALSE(Active());
  EXPECT_EQ(rig.app.protocol.linkState.load(), LINK_IDLE);
  EXPECT_TRUE(HasLine(rig.host.LogLines(), "Nlec transfer halted."));
  EXPECT_EQ(rig.host.GetControlText(IDC_NLEC_SEND), "Send NLEC");
  EXPECT_EQ(rig.host.GetControlText(IDC_NLEC_GET), "Get NLEC");
  EXPECT_EQ(rig.host.GetControlText(IDC_SEND_SETTINGS), "Stop Transfer");
  EXPECT_EQ(rig.host.Beeps(), beeps + 1);
  EXPECT_TRUE(rig.host.Strips().back().destroyed);
  EXPECT_NE(rig.app.dataFile.file, nullptr);  // the data file stays open
  EXPECT_TRUE(rig.host.Boxes().empty());
  EXPECT_EQ(rig.host.openRequests.size(), 1u);  // no NLEC dialog opened
}

TEST_F(TransferControl, StartTableRoutesEachCommandWithItsLogText) {
  struct Case {
    int command;
    const char* logText;
    int kind;
  };
  const Case cases[] = {{IDC_SEND_BITMAP, "Sending Bitmap File...", FILE_KIND_BITMAP},
                        {IDC_RECEIVE_SETTINGS, "Receiving Settings File...", FILE_KIND_SETTINGS},
                        {IDC_SEND_SETTINGS, "Sending Settings...", FILE_KIND_SETTINGS},
                        {IDC_SEND_PROGRAM, "Sending Program File...", FILE_KIND_PROGRAM}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    Offer("in.txt", "0x01\n");
    rig.host.saveAnswers.push_back(Path("out.bin"));
    RunTransferCommand(rig.app, c.command);
    EXPECT_EQ(rig.app.session.kind, c.kind);
    EXPECT_EQ(LastLog(), c.logText);
    EXPECT_EQ(rig.app.session.startButton, c.command);
    rig.host.openAnswers.clear();
    rig.host.saveAnswers.clear();
  }
}

TEST_F(TransferControl, ResultAfterAnNlecStartShowsThePassedText) {
  rig.host.saveAnswers.push_back(Path("table.txt"));
  RunTransferCommand(rig.app, IDC_NLEC_GET);
  Feed(HandleFileSendResult, RS232_FILE_SEND_END, "1");
  ASSERT_EQ(rig.host.Boxes().size(), 1u);
  EXPECT_EQ(rig.host.Boxes()[0].text, "Transfer error.");
  EXPECT_EQ(rig.host.Boxes()[0].caption, APP_TITLE);
}

}  // namespace
}  // namespace quillon::test
