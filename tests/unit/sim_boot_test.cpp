// The bootloader side: the raw image and the erase exchange.
#include <gtest/gtest.h>

#include "sim/pacing.h"
#include "sim_test_support.h"

namespace quillon::sim::test {
namespace {

struct BootRig {
  BootRig() {
    options.mode = SimMode::BOOT;
    options.storeDir = dir.str();
    options.saveImage = dir.File("image.bin");
  }
  SimEngine& Engine() {
    if (!engine) {
      engine = std::make_unique<SimEngine>(options, &transcript);
      engine->SetDisplay([this](const std::string& s) { shown.push_back(s); });
    }
    return *engine;
  }
  void Feed(const std::vector<uint8_t>& bytes, uint64_t now) {
    Engine().Receive(bytes.data(), bytes.size(), now);
    Engine().Poll(now);
  }
  TempDir dir;
  SimOptions options;
  Transcript transcript;
  std::unique_ptr<SimEngine> engine;
  std::vector<std::string> shown;
};

TEST(SimBoot, TheImageIsSavedByteForByteAndTheExpectedSizeIsNoticed) {
  BootRig rig;
  rig.options.expectSize = 40000;
  std::vector<uint8_t> image(40000);
  std::mt19937 gen(5);
  for (auto& b : image) b = static_cast<uint8_t>(gen());
  image[0] = 0x07;  // an image may begin like the erase command
  image[1] = 0x06;
  for (size_t at = 0; at < image.size(); at += 4096) {
    size_t n = std::min<size_t>(4096, image.size() - at);
    rig.Feed(std::vector<uint8_t>(image.begin() + static_cast<long>(at),
                                  image.begin() + static_cast<long>(at + n)),
             at / 4096);
    EXPECT_EQ(rig.Engine().ExpectReached(), at + n >= image.size());
  }
  EXPECT_EQ(rig.Engine().Erases(), 0);
  EXPECT_EQ(ReadAll(rig.options.saveImage), image);
  EXPECT_TRUE(rig.Engine().TakeAll().empty());  // the bootloader says nothing
}

TEST(SimBoot, AfterAQuietSecondTheNextBytesAreANewImageOrTheErase) {
  BootRig rig;
  rig.Feed({1, 2, 3}, 0);
  rig.Feed({0x07, 0x06, 0x01}, 1000);  // begins like the erase command, but more follows at once
  rig.Feed({0x07}, 2500);              // the erase command, in two pieces as a slow host might send it
  rig.Feed({0x06}, 2502);
  rig.Engine().Poll(2551);
  EXPECT_EQ(rig.Engine().Erases(), 0);
  rig.Engine().Poll(2552);
  EXPECT_EQ(rig.Engine().Erases(), 1);
  EXPECT_EQ(ReadAll(rig.options.saveImage), (std::vector<uint8_t>{0x07, 0x06, 0x01}));
  EXPECT_TRUE(rig.Engine().TakeDue(2751).empty());
  auto answer = rig.Engine().TakeDue(2752);
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0].bytes, (std::vector<uint8_t>{0x07, 0x06}));
  rig.Feed({5}, 3000);  // right after the erase: a new image
  rig.Engine().Poll(3200);
  EXPECT_EQ(ReadAll(rig.options.saveImage), (std::vector<uint8_t>{5}));
  EXPECT_EQ(rig.shown, (std::vector<std::string>{"(3)", "(3)", "(1)"}));  // each image counts from 0
}

TEST(SimBoot, SevenSixIsNoEraseWhenMoreFollowsReversedOrDetectionIsOff) {
  struct Case {
    std::vector<uint8_t> first, second;
    bool detect;
  };
  const Case cases[] = {{{0x07, 0x06}, {0x10, 0x20}, true},  // more at once: image data
                        {{0x06, 0x07}, {}, true},
                        {{0x07, 0x06}, {}, false}};
  for (const Case& c : cases) {
    BootRig rig;
    rig.options.eraseDetect = c.detect;
    rig.Feed(c.first, 0);
    rig.Feed(c.second, 49);
    rig.Engine().Poll(1000);
    EXPECT_EQ(rig.Engine().Erases(), 0);
    EXPECT_TRUE(rig.Engine().TakeAll().empty());
    std::vector<uint8_t> all = c.first;
    all.insert(all.end(), c.second.begin(), c.second.end());
    EXPECT_EQ(rig.Engine().ImageBytes(), all.size());
    EXPECT_EQ(ReadAll(rig.options.saveImage), all);
  }
}

TEST(SimBoot, TheDisplayCountIsShownOnChangeAtMostEveryTenthSecond) {
  BootRig rig;
  rig.Feed(std::vector<uint8_t>(100, 1), 0);
  rig.Feed(std::vector<uint8_t>(100, 1), 50);
  rig.Feed(std::vector<uint8_t>(100, 1), 99);
  rig.Engine().Poll(100);
  rig.Engine().Poll(150);
  rig.Engine().Poll(300);
  EXPECT_EQ(rig.shown, (std::vector<std::string>{"(100)", "(300)"}));
}

TEST(SimPacing, TheBucketPassesBaudOverElevenBytesPerSecond) {
  using Clock = TokenBucket::Clock;
  Clock::time_point t0{};
  TokenBucket bucket(115200, t0, 10);
  EXPECT_NEAR(bucket.BytesPerSecond(), 10472.7, 0.1);
  size_t sent = 0;
  // A sender that takes whatever is allowed every millisecond for a second.
  for (int ms = 0; ms <= 1000; ++ms) {
    auto now = t0 + std::chrono::milliseconds(ms);
    size_t n = bucket.Available(now);
    bucket.Consume(n);
    sent += n;
  }
  EXPECT_NEAR(static_cast<double>(sent), 10472.7, 2.0);
  // After a long pause only the burst allowance is there.
  auto later = t0 + std::chrono::seconds(10);
  EXPECT_LE(bucket.Available(later), 105u);
  bucket.Consume(bucket.Available(later));
  EXPECT_GT(bucket.UntilNext(later), Clock::duration::zero());

  TokenBucket unpaced(0, t0);
  EXPECT_FALSE(unpaced.Paced());
  EXPECT_EQ(unpaced.Available(t0), SIZE_MAX);
}

}  // namespace
}  // namespace quillon::sim::test
