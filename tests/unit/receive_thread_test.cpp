#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "core/serial/receive_thread.h"
#include "support/fakes.h"

namespace quillon {
namespace {

using test::Rig;

// Waits (bounded) until pred holds; polls, since the fakes have no signal
// for every counter.
template <typename Pred>
bool Eventually(Pred pred, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(RawLine, ShowsPrintableBytesAndSignedValuesOfTheRest) {
  const uint8_t example[] = {0x7E, 0x7E, 0x0D, 0x41, 0xFF};
  EXPECT_EQ(FormatRawLine(example, 5), "RAW_DATA: ~~[13]A[-1]");
  const uint8_t edges[] = {'\t', ' ', 0x80, 0x7F, 0x00, 0x1F, '%', 'd'};
  EXPECT_EQ(FormatRawLine(edges, sizeof edges), "RAW_DATA: [9] [-128][127][0][31]%d");
  EXPECT_EQ(FormatRawLine(edges, 0), "RAW_DATA: ");
}

TEST(Drain, SplitsAt511AndHandsEachBlockToTheParserBeforeLoggingIt) {
  Rig rig;
  std::vector<std::vector<uint8_t>> blocks;
  // The parser records how many log lines existed when it saw each block.
  std::vector<size_t> logCountAtBlock;
  rig.app.receiver.parserHook = [&](const uint8_t* data, size_t count) {
    logCountAtBlock.push_back(rig.app.log.Count());
    blocks.emplace_back(data, data + count);
  };
  auto device = rig.OpenFakePort();
  std::vector<uint8_t> bytes(600, 'x');
  bytes[0] = '%';
  device->Inject(bytes);
  rig.app.receiver.rawLogging = 1;
  RS232_DrainReceive(rig.app);
  EXPECT_EQ(blocks, (std::vector<std::vector<uint8_t>>{{bytes.begin(), bytes.begin() + 511},
                                                       {bytes.begin() + 511, bytes.end()}}));
  EXPECT_EQ(logCountAtBlock, (std::vector<size_t>{0, 1}));
  EXPECT_EQ(rig.host.LogLines(), (std::vector<std::string>{"RAW_DATA: %" + std::string(510, 'x'),
                                                           "RAW_DATA: " + std::string(89, 'x')}));

  // Logging off: the parser still gets everything, the log nothing.
  rig.app.receiver.rawLogging = 0;
  device->Inject(test::Bytes("abc"));
  RS232_DrainReceive(rig.app);
  EXPECT_EQ(blocks.back(), test::Bytes("abc"));
  EXPECT_EQ(rig.host.LogLines().size(), 2u);

  // An active tap takes the bytes instead of the parser.
  rig.app.receiver.tap.Begin();
  device->Inject({0x07, 0x06});
  RS232_DrainReceive(rig.app);
  EXPECT_EQ(blocks.size(), 3u);
  EXPECT_EQ(rig.app.receiver.tap.WaitFor({0x07, 0x06}, 0), ByteTap::Result::MATCHED);
  rig.app.receiver.tap.End();
  device->Inject({0x01});
  RS232_DrainReceive(rig.app);
  EXPECT_EQ(blocks.size(), 4u);
}

TEST(ByteTapTest, MatchesAcrossOffersPastNoiseTimesOutAndCancels) {
  ByteTap tap;
  const uint8_t noise[] = {0x00, 0x00, 0x07};
  const uint8_t rest[] = {0x06, 0x55};
  EXPECT_FALSE(tap.Offer(noise, 3));  // no one waiting: not taken
  tap.Begin();
  EXPECT_TRUE(tap.Active());
  EXPECT_TRUE(tap.Offer(noise, 3));
  EXPECT_EQ(tap.WaitFor({0x00, 0x07, 0x06}, 0), ByteTap::Result::TIMED_OUT);
  std::thread sender([&] { tap.Offer(rest, 2); });
  EXPECT_EQ(tap.WaitFor({0x00, 0x07, 0x06}, 5000), ByteTap::Result::MATCHED);
  sender.join();
  // The bytes of a match are used up.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tap.WaitFor({0x00, 0x07, 0x06}, 30), ByteTap::Result::TIMED_OUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));

  std::thread canceller([&] { tap.Cancel(); });
  EXPECT_EQ(tap.WaitFor({0x07, 0x06}, -1), ByteTap::Result::CANCELLED);
  canceller.join();
  tap.End();
  EXPECT_FALSE(tap.Active());
  // A new erase starts uncancelled.
  tap.Begin();
  const uint8_t wrong[] = {0x07, 0x07, 0x06};
  tap.Offer(wrong, 3);
  EXPECT_EQ(tap.WaitFor({0x07, 0x06}, 0), ByteTap::Result::MATCHED);
}

TEST(ReceiveThread, DeliversQueuedBytesInOrderFromAPortOpenedLaterAndStopsPromptly) {
  Rig rig;
  std::mutex mutex;
  std::vector<uint8_t> got;
  rig.app.receiver.parserHook = [&](const uint8_t* data, size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    got.insert(got.end(), data, data + count);
  };
  StartReceiveThread(rig.app);  // idles without a port
  OpenDevice(rig.app, 2);
  std::vector<uint8_t> bytes(600);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  rig.factory.Last()->Inject(bytes);
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return got.size() >= bytes.size();
  }));
  // Closing the port while the thread waits on it is no failure.
  CloseDevice(rig.app);
  StopReceiveThread(rig.app);
  EXPECT_FALSE(rig.app.receiver.thread.joinable());
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(rig.host.Beeps(), 0);
}

TEST(ReceiveThread, RepeatedFailedWaitsBeepOnceAndArePacedByAStoppablePause) {
  Rig rig;
  rig.app.limits.failedWaitPauseMs = 60000;
  auto device = rig.OpenFakePort();
  // A port that stays on the link but whose every wait fails, like a pulled cable.
  device->Close();
  StartReceiveThread(rig.app);
  ASSERT_TRUE(Eventually([&] { return device->clearErrors.load() >= 1; }));
  // The thread now sits in its one-minute pause; the stop must cut it short.
  auto start = std::chrono::steady_clock::now();
  StopReceiveThread(rig.app);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(device->clearErrors.load(), 1);
  EXPECT_EQ(rig.host.Beeps(), 1);

  Rig fast;
  fast.app.limits.failedWaitPauseMs = 1;
  auto failing = fast.OpenFakePort();
  failing->Close();
  StartReceiveThread(fast.app);
  ASSERT_TRUE(Eventually([&] { return failing->clearErrors.load() >= 5; }));
  StopReceiveThread(fast.app);
  EXPECT_EQ(fast.host.Beeps(), 1);
}

}  // namespace
}  // namespace quillon
