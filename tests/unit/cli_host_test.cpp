// The terminal host: the dialog's controls as records, boxes handed to the
// CLI, answers from the command line used once, and the queue between the
// core's threads and the CLI's event loop.
#include <gtest/gtest.h>

#include <thread>

#include "cli/terminal_host.h"
#include "core/app/main_dialog.h"
#include "core/protocol/parser.h"

namespace quillon::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct Recorded {
  std::mutex mutex;
  std::vector<std::string> logLines;
  std::vector<std::pair<std::string, unsigned>> boxes;
  std::vector<std::string> questions;
  int answer = ANSWER_NO;
  int beeps = 0;
};

TerminalHost::Callbacks Recording(Recorded& r) {
  TerminalHost::Callbacks c;
  c.logLine = [&r](const std::string& line) {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.logLines.push_back(line);
  };
  c.box = [&r](const std::string& text, unsigned style) { r.boxes.emplace_back(text, style); };
  c.question = [&r](const std::string& text) {
    r.questions.push_back(text);
    return r.answer;
  };
  c.beep = [&r] { ++r.beeps; };
  return c;
}

TEST(CliHost, ControlsOfTheGuideLayoutOnlyAndTheRepaintFlag) {
  TerminalHost host(TerminalHost::Callbacks{});
  host.SetControlText(IDC_STEP_TITLE, "STEP 1 - Connecting the USB Cable");
  EXPECT_EQ(host.GetControlText(IDC_STEP_TITLE), "STEP 1 - Connecting the USB Cable");
  EXPECT_EQ(host.GetControlText(IDC_NEXT), "Next");
  host.EnableControl(IDC_BACK, false);
  EXPECT_FALSE(host.IsControlEnabled(IDC_BACK));
  EXPECT_TRUE(host.IsControlEnabled(IDC_NEXT));
  // The maintenance commands have no buttons: their captions go nowhere and
  // a missing control is never enabled.
  host.SetControlText(IDC_SEND_SETTINGS, "Stop Transfer");
  EXPECT_EQ(host.GetControlText(IDC_SEND_SETTINGS), std::nullopt);
  EXPECT_FALSE(host.IsControlEnabled(IDC_SEND_SETTINGS));

  EXPECT_FALSE(host.TakeRepaint());
  host.Invalidate(true);
  EXPECT_TRUE(host.TakeRepaint());
  EXPECT_FALSE(host.TakeRepaint());
  EXPECT_FALSE(host.EndResult().has_value());
  host.EndDialog(0);
  EXPECT_EQ(host.EndResult(), 0);
}

TEST(CliHost, BoxesAreShownOrAskedAndRecorded) {
  Recorded r;
  TerminalHost host(Recording(r));
  const unsigned question = MB_STYLE_ICONQUESTION | MB_STYLE_YESNO;
  EXPECT_EQ(host.ShowMessageBox("done", APP_TITLE, MB_STYLE_OK, true), ANSWER_OK);
  EXPECT_EQ(host.ShowMessageBox("broken", APP_TITLE, MB_STYLE_ICONERROR, false), ANSWER_OK);
  r.answer = ANSWER_YES;
  EXPECT_EQ(host.ShowMessageBox("erase?", APP_TITLE, question, true), ANSWER_YES);
  ASSERT_EQ(r.boxes.size(), 2u);
  EXPECT_EQ(r.boxes[1].second, static_cast<unsigned>(MB_STYLE_ICONERROR));
  EXPECT_EQ(r.questions, (std::vector<std::string>{"erase?"}));
  ASSERT_EQ(host.BoxCount(), 3u);
  EXPECT_EQ(host.Boxes()[0].text, "done");
  // Without anyone to ask, a question is answered No.
  TerminalHost silent(TerminalHost::Callbacks{});
  EXPECT_EQ(silent.ShowMessageBox("download?", APP_TITLE, question, true), ANSWER_NO);
}

TEST(CliHost, CommandLineAnswersAreUsedOnce) {
  TerminalHost host(TerminalHost::Callbacks{});
  std::string name = "previous.bin";
  EXPECT_FALSE(host.ChooseOpenFile(name, {}, ".\\"));
  EXPECT_EQ(name, "previous.bin");  // a cancelled chooser leaves the name alone

  host.SetOpenAnswer("/tmp/settings.bin");
  host.SetSaveAnswer("/tmp/out.bin");
  host.SetProgramName("PROG1");
  // A second chooser (an NLEC error's posted command starting a send) is cancelled.
  EXPECT_TRUE(host.ChooseOpenFile(name, {}, ".\\"));
  EXPECT_EQ(name, "/tmp/settings.bin");
  EXPECT_FALSE(host.ChooseOpenFile(name, {}, ".\\"));
  EXPECT_TRUE(host.ChooseSaveFile(name, {}));
  EXPECT_EQ(name, "/tmp/out.bin");
  EXPECT_FALSE(host.ChooseSaveFile(name, {}));
  std::string program;
  EXPECT_EQ(host.RunProgramNamePrompt(program), 1);
  EXPECT_EQ(program, "PROG1");
  EXPECT_EQ(host.RunProgramNamePrompt(program), 0);
  int number = 4;
  EXPECT_EQ(host.RunPortNumberDialog(number), 0);
  EXPECT_EQ(number, 4);
}

TEST(CliHost, ProgressStripKeepsItsRangeForm) {
  TerminalHost host(TerminalHost::Callbacks{});
  EXPECT_FALSE(host.CurrentStrip().exists);
  host.AdvanceProgressStrip(5);  // no strip: nothing to move
  host.CreateProgressStrip(70000, false);  // the 16-bit form carries 70000 modulo 65536
  TerminalHost::Strip strip = host.CurrentStrip();
  EXPECT_TRUE(strip.exists);
  EXPECT_EQ(strip.maximum, 70000u - 65536u);
  host.AdvanceProgressStrip(128);
  host.AdvanceProgressStrip(100);
  EXPECT_EQ(host.CurrentStrip().position, 228u);
  host.SetProgressPosition(16);
  EXPECT_EQ(host.CurrentStrip().position, 16u);
  host.DestroyProgressStrip();
  EXPECT_FALSE(host.CurrentStrip().exists);

  host.CreateProgressStrip(4759532, true);
  EXPECT_EQ(host.CurrentStrip().maximum, 4759532u);
  EXPECT_EQ(host.CurrentStrip().generation, strip.generation + 1);
}

TEST(CliHost, PostedMessagesReachTheLoopInOrderFromAnyThread) {
  TerminalHost host(TerminalHost::Callbacks{});
  // Nothing queued: the wait ends at its deadline.
  EXPECT_FALSE(host.WaitMessage(Clock::now() + std::chrono::milliseconds(20)).has_value());

  constexpr int COUNT = 200;
  std::thread poster([&host] {
    for (int i = 0; i < COUNT; ++i) {
      UiMessage message{UiMessage::COMMAND, nullptr, true, i};
      host.Post(std::move(message));
    }
    UiMessage done{UiMessage::BOOT_DONE, nullptr, false, 0};
    host.Post(std::move(done));
  });
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  int expected = 0;
  bool bootDone = false;
  while (!bootDone && Clock::now() < deadline) {
    std::optional<UiMessage> message = host.WaitMessage(deadline);
    ASSERT_TRUE(message.has_value());
    if (message->kind == UiMessage::BOOT_DONE) {
      EXPECT_FALSE(message->success);
      bootDone = true;
    } else {
      EXPECT_EQ(message->command, expected++);
    }
  }
  poster.join();
  EXPECT_TRUE(bootDone);
  EXPECT_EQ(expected, COUNT);
  EXPECT_TRUE(host.QueueEmpty());
}

TEST(CliHost, LogLinesFromAnyThreadAndSystemServices) {
  Recorded r;
  TerminalHost host(Recording(r));
  std::thread worker([&host] { host.OnLogLineAdded("Done loading."); });
  worker.join();
  EXPECT_EQ(r.logLines, (std::vector<std::string>{"Done loading."}));
  EXPECT_EQ(host.SystemErrorText(EACCES), "Permission denied");
  std::string path;
  ASSERT_TRUE(host.CreateTempFile("qlog", path));
  EXPECT_NE(path.find("qlog"), std::string::npos);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace quillon::cli
