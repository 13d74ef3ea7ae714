#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <tuple>
#include <unistd.h>

#include "core/app.h"
#include "core/boot/flash_erase.h"
#include "core/boot/image_download.h"
#include "core/boot/image_file.h"
#include "support/fakes.h"

namespace quillon::test {
namespace {

constexpr size_t BOOTLOADER_SIZE = 30356;
constexpr size_t SOFTWARE_SIZE = 4759532;

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  return bytes;
}

struct DownloadRig : Rig {
  DownloadRig() {
    static const std::vector<uint8_t> bootloader = Pattern(BOOTLOADER_SIZE, 1);
    static const std::vector<uint8_t> software = Pattern(SOFTWARE_SIZE, 2);
    images.images[IMAGE_BOOTLOADER] = bootloader;
    images.images[IMAGE_SOFTWARE] = software;
  }
  // Waits for the worker's completion message, joins the worker as the UI
  // does, and returns every message posted.
  std::vector<UiMessage> Finish() {
    EXPECT_TRUE(host.WaitForPost(20000));
    JoinBootWorker(app);
    return host.TakePosts();
  }
};

std::vector<size_t> WriteSizes(FakeSerialDevice& port) {
  std::vector<size_t> sizes;
  for (auto& w : port.Writes()) sizes.push_back(w.size());
  return sizes;
}

void ExpectOneDone(const std::vector<UiMessage>& posts, bool success) {
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].kind, UiMessage::BOOT_DONE);
  EXPECT_EQ(posts[0].success, success);
}

TEST(ImageDownload, StreamsTheChosenImageInBlocksWithItsRangeAndEndsAt38400) {
  std::vector<size_t> software(290, IMAGE_BLOCK_SIZE);
  software.push_back(8172);
  struct Case {
    const char* what;
    int choice;
    size_t smallImage;  // nonzero: a software image of this size instead
    std::vector<size_t> writes;
    uint32_t range;  // the strip's range and final position, in thousands
  } cases[] = {{"bootloader", CHOICE_BOOTLOADER, 0, {16384, 13972}, 30},
               {"software", CHOICE_SOFTWARE, 0, software, 4759},
               {"small image in one write", CHOICE_SOFTWARE, 999, {999}, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DownloadRig r;
    if (c.smallImage) r.images.images[IMAGE_SOFTWARE] = Pattern(c.smallImage, 3);
    const auto& image = r.images.images[c.choice == CHOICE_BOOTLOADER ? IMAGE_BOOTLOADER : IMAGE_SOFTWARE];
    auto port = r.OpenFakePort();
    r.app.guide.choice = c.choice;
    ASSERT_EQ(StartImageDownload(r.app, 115200), 1);
    EXPECT_EQ(r.app.boot.downloadSize.load(), image.size());
    ExpectOneDone(r.Finish(), true);

    EXPECT_EQ(WriteSizes(*port), c.writes);
    EXPECT_TRUE(port->Written() == image);
    auto strips = r.host.Strips();
    ASSERT_EQ(strips.size(), 1u);
    EXPECT_EQ(strips[0].maximum, c.range);
    EXPECT_FALSE(strips[0].form32);
    EXPECT_EQ(strips[0].position, c.range);
    // Opened at 115200, set to 115200 for the run, 38400 afterwards.
    EXPECT_EQ(port->BaudHistory(), (std::vector<uint32_t>{115200, 115200, 38400}));
    EXPECT_EQ(r.host.LogLines(), (std::vector<std::string>{
                                     "Loading new software version ... (~4 min.)", "Done loading."}));
    auto sleeps = r.host.SleepCalls();
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 100u), 1);
    EXPECT_EQ(r.app.boot.bootBusy.load(), 0);
    EXPECT_EQ(r.app.boot.sentCount.load(), static_cast<int64_t>(image.size()));
    EXPECT_EQ(r.host.PendingPosts(), 0u);
  }
}

TEST(ImageDownload, MaintenanceCommandsPickImageRateAndFirstLine) {
  // 1015 after the guide's bootloader choice: bootloader image at 38400,
  // logged as a software load. 1019 answered Yes: the bootloader at 115200.
  struct Case {
    int command;
    uint32_t rate;
    const char* firstLine;
    size_t boxes;
  } cases[] = {{IDC_IMAGE_DOWNLOAD, 38400, "Loading new software version ... (~4 min.)", 0},
               {IDC_BOOTLOADER_DOWNLOAD, 115200, "Loading new bootloader ... ", 1}};
  for (const auto& c : cases) {
    DownloadRig r;
    auto port = r.OpenFakePort();
    r.app.guide.choice = CHOICE_BOOTLOADER;
    r.host.boxAnswers = {ANSWER_YES};
    OnCommand(r.app, c.command);
    ExpectOneDone(r.Finish(), true);
    EXPECT_EQ(port->Written(), r.images.images[IMAGE_BOOTLOADER]);
    EXPECT_EQ(port->BaudHistory(), (std::vector<uint32_t>{115200, c.rate, 38400}));
    EXPECT_EQ(r.host.LogLines(), (std::vector<std::string>{c.firstLine, "Done loading."}));
    EXPECT_EQ(r.host.Boxes().size(), c.boxes);
  }
}

TEST(ImageDownload, ImageErrorBoxesHaveNoOwnerAndStartNothing) {
  for (bool bootloader : {false, true}) {
    for (int step = 1; step <= 4; ++step) {
      DownloadRig r;
      auto port = r.OpenFakePort();
      r.images.failures[IMAGE_SOFTWARE] = step;
      r.images.failures[IMAGE_BOOTLOADER] = step;
      int started = bootloader ? StartBootloaderDownload(r.app) : StartImageDownload(r.app, 115200);
      EXPECT_EQ(started, 0);
      char text[100];
      std::snprintf(text, sizeof text,
                    "Internal Error %03d.  Unable to extract %ssoftware for loading to unit.",
                    bootloader ? 100 + step : step, bootloader ? "bootloader " : "");
      auto boxes = r.host.Boxes();
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].text, text);
      EXPECT_EQ(std::make_tuple(boxes[0].caption, boxes[0].style, boxes[0].owned),
                std::make_tuple(std::string(APP_TITLE), static_cast<unsigned>(MB_STYLE_ICONERROR), false));
      EXPECT_TRUE(r.host.LogLines().empty() && r.host.Strips().empty());
      EXPECT_EQ(r.host.Beeps(), 0);
      EXPECT_EQ(port->BaudHistory().size(), 1u);
      EXPECT_FALSE(r.app.boot.bootBusy.load() || r.app.boot.worker.joinable());
    }
  }
}

TEST(ImageDownload, PresentButEmptyImageIsError2) {
  DownloadRig r;
  r.OpenFakePort();
  r.images.images[IMAGE_BOOTLOADER].clear();
  EXPECT_EQ(StartBootloaderDownload(r.app), 0);
  EXPECT_EQ(r.host.Boxes().at(0).text,
            "Internal Error 102.  Unable to extract bootloader software for loading to unit.");
}

TEST(ImageDownload, NoPortIsRefusedOnTheUiThread) {
  DownloadRig r;
  EXPECT_EQ(StartImageDownload(r.app, 115200), 0);
  EXPECT_EQ(StartBootloaderDownload(r.app), 0);
  EXPECT_EQ(r.host.LogLines(), (std::vector<std::string>(2, "Download not started: no port is open.")));
  auto boxes = r.host.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].text, "No port is open.  Open the port before downloading.");
  EXPECT_EQ(boxes[0].caption, APP_TITLE);
  EXPECT_TRUE(r.host.Strips().empty());
  EXPECT_FALSE(r.app.boot.bootBusy.load() || r.app.boot.worker.joinable());
  // The size was looked up all the same; the guide's pages read it.
  EXPECT_EQ(r.app.boot.downloadSize.load(), BOOTLOADER_SIZE);
}

TEST(ImageDownload, StartsWhileBusyAreSilentAndShutdownStopsTheRun) {
  DownloadRig r;
  auto port = r.OpenFakePort();
  port->writeFails = true;
  r.app.limits.writeStallMs = UINT32_MAX;  // only the stop can end this run
  ASSERT_EQ(StartImageDownload(r.app, 115200), 1);

  EXPECT_EQ(StartImageDownload(r.app, 115200), 0);
  EXPECT_EQ(StartBootloaderDownload(r.app), 0);
  StartFlashErase(r.app);
  EXPECT_TRUE(r.host.Boxes().empty());
  EXPECT_EQ(r.host.Strips().size(), 1u);

  // Closing the program: the worker gives up at once instead of retrying.
  JoinBootWorker(r.app);
  auto posts = r.host.TakePosts();
  ExpectOneDone(posts, false);
  EXPECT_EQ(r.host.LogLines().back(), "Download stopped after 0 of 4759532 bytes.");
  EXPECT_EQ(r.app.boot.bootBusy.load(), 0);

  // A new start waits until the last run's completion is handled: one made
  // before would be taken for finished by that message.
  port->writeFails = false;
  r.app.guide.choice = CHOICE_BOOTLOADER;
  ASSERT_EQ(StartImageDownload(r.app, 115200), 1);
  ASSERT_TRUE(r.host.WaitForPost(20000));
  EXPECT_EQ(StartImageDownload(r.app, 115200), 0);
  EXPECT_EQ(r.host.Pump(r.app), 1u);  // OnBootDone joins the worker
  EXPECT_EQ(StartImageDownload(r.app, 115200), 1);
  ExpectOneDone(r.Finish(), true);
  EXPECT_EQ(port->Written().size(), 2 * BOOTLOADER_SIZE);
}

// A port that accepts a given number of bytes, then fails every write;
// optionally it is closed (taken off the link) at that point.
class StallingPort : public FakeSerialDevice {
 public:
  StallingPort(size_t acceptIn, SerialLink* closeLinkIn) : accept(acceptIn), closeLink(closeLinkIn) {}
  size_t Write(const uint8_t* data, size_t length, int* error) override {
    if (accepted >= accept) {
      if (closeLink) closeLink->Exchange(nullptr);
      if (error) *error = 5;
      return 0;
    }
    size_t n = FakeSerialDevice::Write(data, std::min(length, accept - accepted), error);
    accepted += n;
    return n;
  }
  size_t accept;
  SerialLink* closeLink;
  size_t accepted = 0;
};

TEST(ImageDownload, RunThatStopsMakingProgressFailsWithinTheBound) {
  for (bool closed : {false, true}) {
    DownloadRig r;
    auto port = std::make_shared<StallingPort>(16384, closed ? &r.app.link : nullptr);
    int error = 0;
    port->Open("COM1", LineSettings{}, &error);
    r.app.link.Exchange(port);
    r.app.guide.choice = CHOICE_BOOTLOADER;
    r.app.guide.page = PAGE_IN_PROGRESS;
    const uint32_t start = r.host.TickCount();
    ASSERT_EQ(StartImageDownload(r.app, 115200), 1);
    ASSERT_TRUE(r.host.WaitForPost(20000));

    // The fake clock moves only through the worker's own pauses.
    const uint32_t spent = r.host.TickCount() - start;
    EXPECT_GE(spent, r.app.limits.writeStallMs);
    EXPECT_LE(spent, r.app.limits.writeStallMs + 100 + 2 * WRITE_RETRY_PAUSE_MS);
    EXPECT_EQ(r.host.LogLines().back(),
              closed ? "Download failed: the port was closed after 16384 of 30356 bytes."
                     : "Download failed: the port stopped accepting data after 16384 of 30356 bytes.");
    if (!closed) {
      EXPECT_GT(port->clearErrors.load(), 0);
      EXPECT_EQ(port->baud.load(), 38400u);
    }
    EXPECT_EQ(r.app.boot.bootBusy.load(), 0);

    // The dialog does not claim the download completed.
    ASSERT_EQ(r.host.Pump(r.app), 1u);
    EXPECT_NE(r.app.guide.page, PAGE_COMPLETE);
    EXPECT_FALSE(r.app.boot.worker.joinable());
    EXPECT_EQ(r.host.PendingPosts(), 0u);
  }
}

TEST(ImageDownload, FileSourceServesTheUsersImageAndFallsBack) {
  DownloadRig r;
  char path[] = "/tmp/quillon-image-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  auto image = Pattern(20000, 9);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                               static_cast<std::streamsize>(image.size()));
  FileImageSource files(&r.images);
  files.SetFile(IMAGE_SOFTWARE, path);
  r.app.images = &files;
  auto port = r.OpenFakePort();

  ASSERT_EQ(StartImageDownload(r.app, 115200), 1);
  ExpectOneDone(r.Finish(), true);
  EXPECT_EQ(port->Written(), image);
  EXPECT_EQ(r.app.boot.downloadSize.load(), 20000u);

  // Names without a file come from the fallback.
  const uint8_t* data = nullptr;
  size_t size = 0;
  EXPECT_EQ(files.Lookup(IMAGE_BOOTLOADER, &data, &size), 0);
  EXPECT_EQ(size, BOOTLOADER_SIZE);

  // An emptied file is error 2, a missing one error 1.
  std::ofstream(path, std::ios::binary | std::ios::trunc).flush();
  EXPECT_EQ(files.Lookup(IMAGE_SOFTWARE, &data, &size), 2);
  std::remove(path);
  EXPECT_EQ(files.Lookup(IMAGE_SOFTWARE, &data, &size), 1);
  EXPECT_EQ(StartImageDownload(r.app, 115200), 0);
  EXPECT_EQ(r.host.Boxes().back().text,
            "Internal Error 001.  Unable to extract software for loading to unit.");
}

}  // namespace
}  // namespace quillon::test
