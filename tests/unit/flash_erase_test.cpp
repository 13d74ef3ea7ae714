#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "core/app.h"
#include "core/boot/flash_erase.h"
#include "core/boot/image_download.h"
#include "core/serial/receive_thread.h"
#include "support/fakes.h"

namespace quillon::test {
namespace {

// Waits (bounded, real time) until the condition holds.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Plays the receive thread's drain: hands each chunk to the erase's tap once
// the erase command has gone out.
void Answer(Rig& r, FakeSerialDevice& port, const std::vector<std::vector<uint8_t>>& chunks) {
  ASSERT_TRUE(WaitUntil([&] { return port.Written().size() == 2; }));
  for (auto& chunk : chunks) {
    ASSERT_TRUE(r.app.receiver.tap.Offer(chunk.data(), chunk.size()));
  }
}

std::vector<UiMessage> Finish(Rig& r) {
  EXPECT_TRUE(r.host.WaitForPost(20000));
  JoinBootWorker(r.app);
  return r.host.TakePosts();
}

void ExpectOneDone(const std::vector<UiMessage>& posts, bool success) {
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].kind, UiMessage::BOOT_DONE);
  EXPECT_EQ(posts[0].success, success);
}

const std::vector<std::string> DONE_LINES = {"Erasing user storage on flash ... (~50 sec.)",
                                             "Done erasing user storage."};

TEST(FlashErase, AnswerAcceptedWhicheverWayItArrives) {
  const std::vector<std::vector<std::vector<uint8_t>>> answers = {
      {{0x07, 0x06}},
      {{0x07}, {0x06}},
      // A stray byte ahead of the answer, in one read and split.
      {{0x00, 0x07, 0x06}},
      {{0x00, 0x07}, {0x06}},
      {{0x06, 0x06}, {0x07}, {0x07, 0x06, 0x55}},
  };
  for (size_t i = 0; i <= answers.size(); ++i) {
    // The last run reuses the first answer on a port that takes one byte a write.
    const auto& chunks = answers[i % answers.size()];
    const bool shortWrites = i == answers.size();
    Rig r;
    auto port = r.OpenFakePort();
    if (shortWrites) port->writeLimit = 1;
    StartFlashErase(r.app);
    EXPECT_EQ(r.app.boot.bootBusy.load(), 1);
    Answer(r, *port, chunks);
    ExpectOneDone(Finish(r), true);

    using Writes = std::vector<std::vector<uint8_t>>;
    EXPECT_EQ(port->Writes(), (shortWrites ? Writes{{0x07}, {0x06}} : Writes{{0x07, 0x06}}));
    // Set to 115200 for the erase and left there.
    EXPECT_EQ(port->BaudHistory(), (std::vector<uint32_t>{115200, 115200}));
    EXPECT_EQ(r.host.LogLines(), DONE_LINES);
    EXPECT_EQ(r.host.SleepCalls(), (std::vector<uint32_t>{100}));
    EXPECT_EQ(r.app.boot.bootBusy.load(), 0);
    EXPECT_FALSE(r.app.receiver.tap.Active());
    EXPECT_TRUE(r.host.Strips().empty());
  }
}

TEST(FlashErase, NoPortIsRefused) {
  Rig r;
  StartFlashErase(r.app);
  EXPECT_FALSE(r.app.boot.worker.joinable());
  EXPECT_EQ(r.app.boot.bootBusy.load(), 0);
  EXPECT_EQ(r.host.LogLines(), (std::vector<std::string>{"Erase not started: no port is open."}));
  ASSERT_EQ(r.host.Boxes().size(), 1u);
  EXPECT_EQ(r.host.Boxes()[0].text, "No port is open.  Open the port before erasing the flash.");
  EXPECT_EQ(r.host.PendingPosts(), 0u);
}

TEST(FlashErase, UnansweredEraseFailsAfterTheBound) {
  Rig r;
  auto port = r.OpenFakePort();
  r.app.limits.eraseAnswerMs = 50;
  StartFlashErase(r.app);
  // Neither pair is the answer, nor are they together (06 07).
  Answer(r, *port, {{0x06}, {0x07}});
  ExpectOneDone(Finish(r), false);
  EXPECT_EQ(r.host.LogLines(),
            (std::vector<std::string>{"Erasing user storage on flash ... (~50 sec.)",
                                      "Erase failed: the readout did not answer within 50 ms."}));
  EXPECT_FALSE(r.app.receiver.tap.Active());

  // The dialog does not show the completion page.
  r.app.guide.page = PAGE_IN_PROGRESS;
  DispatchUiMessage(r.app, UiMessage{UiMessage::BOOT_DONE, nullptr, false, 0});
  EXPECT_NE(r.app.guide.page, PAGE_COMPLETE);
}

TEST(FlashErase, CommandThatCannotBeWrittenFailsWithinTheBound) {
  Rig r;
  auto port = r.OpenFakePort();
  port->writeFails = true;
  const uint32_t start = r.host.TickCount();
  StartFlashErase(r.app);
  ExpectOneDone(Finish(r), false);
  const uint32_t spent = r.host.TickCount() - start;
  EXPECT_GE(spent, r.app.limits.writeStallMs);
  EXPECT_LE(spent, r.app.limits.writeStallMs + 100 + 2 * WRITE_RETRY_PAUSE_MS);
  EXPECT_EQ(r.host.LogLines(),
            (std::vector<std::string>{"Erase failed: the port did not accept the erase command."}));
  EXPECT_GT(port->clearErrors.load(), 0);
  EXPECT_FALSE(r.app.receiver.tap.Active());
}

TEST(FlashErase, BusyEraseRefusesStartsStopsAtShutdownAndTheNextConfirmedOneCompletes) {
  Rig r;
  r.images.images[IMAGE_SOFTWARE] = std::vector<uint8_t>(100, 1);
  auto port = r.OpenFakePort();
  StartFlashErase(r.app);  // waits for an answer for up to two minutes
  ASSERT_TRUE(WaitUntil([&] { return port->Written().size() == 2; }));

  StartFlashErase(r.app);
  EXPECT_EQ(StartImageDownload(r.app, 115200), 0);
  EXPECT_EQ(StartBootloaderDownload(r.app), 0);
  EXPECT_TRUE(r.host.Boxes().empty());
  EXPECT_TRUE(r.host.Strips().empty());
  EXPECT_EQ(port->Writes().size(), 1u);

  // Closing the program ends the wait at once.
  auto before = std::chrono::steady_clock::now();
  JoinBootWorker(r.app);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  ExpectOneDone(r.host.TakePosts(), false);
  EXPECT_EQ(r.host.LogLines().back(), "Erase stopped while waiting for the readout's answer.");
  EXPECT_EQ(r.app.boot.bootBusy.load(), 0);

  // The next erase, confirmed in the dialog, starts afresh and completes.
  port->ClearWritten();
  r.host.boxAnswers = {ANSWER_YES};
  OnCommand(r.app, IDC_FLASH_ERASE);
  Answer(r, *port, {{0x07, 0x06}});
  ASSERT_TRUE(r.host.WaitForPost(20000));
  EXPECT_EQ(r.host.Pump(r.app), 1u);
  EXPECT_EQ(r.app.guide.page, PAGE_COMPLETE);
  EXPECT_FALSE(r.app.boot.worker.joinable());
  EXPECT_EQ(port->baud.load(), 115200u);
}

TEST(FlashErase, ReceiveThreadHandsTheAnswerToTheEraseNotTheParser) {
  Rig r;
  std::mutex mutex;
  std::vector<uint8_t> parsed;
  r.app.receiver.parserHook = [&](const uint8_t* data, size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    parsed.insert(parsed.end(), data, data + count);
  };
  auto port = r.OpenFakePort();
  StartReceiveThread(r.app);

  StartFlashErase(r.app);
  ASSERT_TRUE(WaitUntil([&] { return port->Written().size() == 2; }));
  port->Inject({0x00, 0x07});
  port->Inject({0x06});
  ExpectOneDone(Finish(r), true);
  EXPECT_EQ(r.host.LogLines(), DONE_LINES);

  // Once the erase is over, bytes go to the parser again.
  port->Inject({0x7E});
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !parsed.empty();
  }));
  StopReceiveThread(r.app);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(parsed, (std::vector<uint8_t>{0x7E}));
}

}  // namespace
}  // namespace quillon::test
