#include <gtest/gtest.h>

#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "core/transfer/file_receive.h"
#include "core/transfer/file_send.h"
#include "core/transfer/session.h"
#include "transfer_test_support.h"

namespace quillon::test {
namespace {

using FileReceive = TransferTest;

TEST_F(FileReceive, SettingsReceiveWritesEveryPieceAndReportsOnce) {
  rig.host.AddControl(IDC_RECEIVE_SETTINGS, "Get Settings");
  WriteFile("settings.bin", "old contents to be replaced");
  rig.host.saveAnswers.push_back(Path("settings.bin"));
  ASSERT_TRUE(StartFileReceive(rig.app, IDC_RECEIVE_SETTINGS, "Receiving Settings File..."));
  EXPECT_TRUE(Active());
  EXPECT_EQ(LastLog(), "Receiving Settings File...");
  EXPECT_TRUE(rig.host.Strips().empty());  // not before the size is known

  Feed(HandleFileSize, RS232_FILE_GET_START, "301");
  ASSERT_EQ(rig.host.Strips().size(), 1u);
  EXPECT_EQ(rig.host.Strips()[0].maximum, 301u);
  EXPECT_TRUE(rig.host.Strips()[0].form32);
  Feed(HandleFileData, RS232_FILE_GET_DATA, std::string(300, 'A'));
  Feed(HandleFileData, RS232_FILE_GET_DATA, std::string(1, '\0'));
  EXPECT_EQ(rig.host.Strips()[0].position, 300u);  // the one-byte piece does not move it

  int beeps = rig.host.Beeps();
  Feed(HandleFileEnd, RS232_FILE_GET_END, "");
  EXPECT_EQ(ReadFile("settings.bin"), std::string(300, 'A') + std::string(1, '\0'));
  EXPECT_EQ(rig.app.dataFile.file, nullptr);
  EXPECT_FALSE(Active());
  EXPECT_TRUE(rig.host.Strips()[0].destroyed);
  EXPECT_EQ(rig.host.GetControlText(IDC_RECEIVE_SETTINGS), "Get Settings");
  ASSERT_EQ(rig.host.Boxes().size(), 1u);
  EXPECT_EQ(LastBox(), "Transfer of settings sucessfully completed.");
  EXPECT_EQ(rig.host.Beeps(), beeps + 2);

  auto sent = Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].command, RS232_FILE_GET_START);
  EXPECT_EQ(sent[1].command, RS232_FILE_GET_DATA);
  std::vector<std::string> data;
  for (const auto& p : sent) data.push_back(p.data);
  EXPECT_EQ(data, (std::vector<std::string>{"25", "1", "25", "25"}));
}

TEST_F(FileReceive, ProgramPromptDecidesWhetherAndWhatToRequest) {
  struct Case {
    int result;
    std::string typed;
    const char* request;  // nullptr: nothing starts
  };
  const std::string cut(PROGRAM_NAME_MAX, 'p');
  const Case cases[] = {{1, "PROG1", "26PROG1"},
                        {1, "123", "26123"},
                        {1, "", nullptr},
                        {0, "PROG2", nullptr},
                        {-1, "", "26"},
                        {1, std::string(100, 'p'), nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed + " " + std::to_string(c.result));
    port->ClearWritten();
    rig.app.programName = "stale";
    rig.host.promptAnswers.push_back({c.result, c.typed});
    rig.host.saveAnswers.push_back(Path("prog.bin"));
    RunTransferCommand(rig.app, IDC_RECEIVE_PROGRAM);
    auto sent = Sent();
    if (c.typed.size() > PROGRAM_NAME_MAX) {
      EXPECT_EQ(rig.app.programName, cut);
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].data, "26" + cut);
    } else if (c.request == nullptr) {
      EXPECT_TRUE(sent.empty());
      EXPECT_EQ(rig.host.saveAnswers.size(), 1u);  // no save dialog shown
    } else {
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].data, c.request);
      EXPECT_EQ(rig.app.session.kind, FILE_KIND_PROGRAM);
    }
    rig.host.saveAnswers.clear();
  }
  EXPECT_EQ(rig.host.promptRuns, 6);
}

TEST_F(FileReceive, ReadoutErrorKeepsThePartWritten) {
  rig.host.saveAnswers.push_back(Path("prog.bin"));
  rig.host.promptAnswers.push_back({1, "P"});
  RunTransferCommand(rig.app, IDC_RECEIVE_PROGRAM);
  Feed(HandleFileData, RS232_FILE_GET_DATA, "partial");
  Feed(HandleFileError, RS232_FILE_ERROR, "halted by user");

  EXPECT_EQ(ReadFile("prog.bin"), "partial");
  auto lines = rig.host.LogLines();
  for (const char* line : {"Program Transfer error.", "Program transfer halted.", "halted by user"})
    EXPECT_TRUE(HasLine(lines, line)) << line;
  EXPECT_EQ(LastBox(), "Program transfer failure.");

  // A late piece after the error finds no file: nothing written, nothing sent.
  port->ClearWritten();
  Feed(HandleFileData, RS232_FILE_GET_DATA, "partial");
  EXPECT_EQ(ReadFile("prog.bin"), "partial");
  EXPECT_TRUE(Sent().empty());
}

TEST_F(FileReceive, CancelledSaveStartsNothing) {
  rig.host.saveAnswers.push_back(std::nullopt);
  rig.host.saveAnswers.push_back(Path("no/such/dir/file.bin"));
  EXPECT_FALSE(StartFileReceive(rig.app, IDC_RECEIVE_SETTINGS, "Receiving Settings File..."));
  EXPECT_FALSE(StartFileReceive(rig.app, IDC_RECEIVE_SETTINGS, "Receiving Settings File..."));
  EXPECT_FALSE(Active());
  EXPECT_TRUE(rig.host.LogLines().empty());
  EXPECT_TRUE(Sent().empty());
}

TEST_F(FileReceive, FileTheDiskRefusedIsReportedAsAFailure) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  rig.host.saveAnswers.push_back("/dev/full");
  ASSERT_TRUE(StartFileReceive(rig.app, IDC_RECEIVE_SETTINGS, "Receiving Settings File..."));
  Feed(HandleFileData, RS232_FILE_GET_DATA, "data");
  Feed(HandleFileEnd, RS232_FILE_GET_END, "");
  EXPECT_EQ(LastBox(), "Settings transfer failure.");
  EXPECT_FALSE(Active());
}

}  // namespace
}  // namespace quillon::test
