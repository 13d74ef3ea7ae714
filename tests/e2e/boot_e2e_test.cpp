// The bootloader operations over a pseudo-terminal against quillon-sim in its
// bootloader mode, with the POSIX backend and the embedded images.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <unistd.h>

#include "core/app.h"
#include "core/boot/flash_erase.h"
#include "core/boot/image_download.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "platform/posix/posix_serial.h"
#include "resources/embedded_images.h"
#include "sim/sim_line.h"
#include "support/fakes.h"

namespace quillon {
namespace {

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

std::vector<uint8_t> Image(const char* name) {
  EmbeddedImages images;
  const uint8_t* data = nullptr;
  size_t size = 0;
  EXPECT_EQ(images.Lookup(name, &data, &size), 0);
  return std::vector<uint8_t>(data, data + size);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The host side: a recording host, the POSIX port, the embedded images, the
// receive thread running, the port opened on the simulator's line.
struct Station {
  test::FakeHost host;
  posix::PosixSerialFactory factory;
  EmbeddedImages images;
  App app{host, factory, &images};

  explicit Station(const std::string& path) {
    StartReceiveThread(app);
    OpenDevicePath(app, path);
  }
  ~Station() {
    JoinBootWorker(app);
    StopReceiveThread(app);
    CloseDevice(app);
  }
  // The one completion message of the run, after the worker is joined.
  std::vector<UiMessage> Finish(int timeoutMs) {
    EXPECT_TRUE(host.WaitForPost(timeoutMs));
    JoinBootWorker(app);
    return host.TakePosts();
  }
};

std::string TempPath(const char* stem) {
  return std::string("/tmp/") + stem + "-" + std::to_string(::getpid()) + ".bin";
}

TEST(EmbeddedImages, HaveTheRealSizes) {
  auto bootloader = Image(IMAGE_BOOTLOADER);
  auto software = Image(IMAGE_SOFTWARE);
#ifdef QUILLON_PLACEHOLDER_IMAGES
  EXPECT_EQ(bootloader.size(), 30356u);
  EXPECT_EQ(software.size(), 4759532u);
  // The generator's stream: xorshift32 from seeds 1 and 2.
  for (auto [image, seed] : {std::pair{&bootloader, 1u}, std::pair{&software, 2u}}) {
    uint32_t x = seed;
    size_t mismatches = 0;
    for (uint8_t byte : *image) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      mismatches += byte != static_cast<uint8_t>(x);
    }
    EXPECT_EQ(mismatches, 0u);
  }
#else
  EXPECT_FALSE(bootloader.empty());
  EXPECT_FALSE(software.empty());
#endif
  const uint8_t* data = nullptr;
  size_t size = 0;
  EXPECT_EQ(EmbeddedImages().Lookup("ZYN_OTHER", &data, &size), 1);
}

TEST(BootE2e, SoftwareImageArrivesByteIdentical) {
  const std::string saved = TempPath("quillon-boot-e2e-image");
  auto image = Image(IMAGE_SOFTWARE);
  sim::SimOptions options;
  options.mode = sim::SimMode::BOOT;
  options.saveImage = saved;
  options.expectSize = image.size();
  sim::LineOptions line;
  line.exitOnExpect = true;
  sim::SimLine readout(options, line);
  std::string error;
  ASSERT_TRUE(readout.Open(&error)) << error;
  readout.StartThread();

  Station station(readout.Path());
  ASSERT_TRUE(station.app.link.IsOpen());
  ASSERT_EQ(StartImageDownload(station.app, 115200), 1);
  auto posts = station.Finish(120000);
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_TRUE(posts[0].success);
  EXPECT_EQ(station.host.LogLines().back(), "Done loading.");
  EXPECT_EQ(station.host.Strips().back().position, 4759u);

  ASSERT_TRUE(WaitUntil([&] { return readout.Finished(); }, 60000));
  readout.Stop();
  EXPECT_TRUE(ReadFile(saved) == image);
  std::remove(saved.c_str());
}

TEST(BootE2e, EraseCompletesAndLeavesTheLineAt115200) {
  sim::SimOptions options;
  options.mode = sim::SimMode::BOOT;
  options.eraseDelayMs = 200;
  sim::SimLine readout(options, sim::LineOptions{});
  std::string error;
  ASSERT_TRUE(readout.Open(&error)) << error;
  readout.StartThread();

  Station station(readout.Path());
  ASSERT_TRUE(station.app.link.IsOpen());
  StartFlashErase(station.app);
  auto posts = station.Finish(20000);
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_TRUE(posts[0].success);
  auto lines = station.host.LogLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Erasing user storage on flash ... (~50 sec.)");
  EXPECT_EQ(lines.back(), "Done erasing user storage.");
  readout.Stop();
  EXPECT_EQ(readout.Erases(), 1);
}

TEST(BootE2e, ReadoutHangingUpMidDownloadFailsWithinTheBound) {
  sim::SimOptions options;
  options.mode = sim::SimMode::BOOT;
  options.faults.hangupAfter = 1000000;
  sim::SimLine readout(options, sim::LineOptions{});
  std::string error;
  ASSERT_TRUE(readout.Open(&error)) << error;
  readout.StartThread();

  Station station(readout.Path());
  ASSERT_TRUE(station.app.link.IsOpen());
  ASSERT_EQ(StartImageDownload(station.app, 115200), 1);
  auto posts = station.Finish(60000);
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_FALSE(posts[0].success);
  readout.Stop();  // the simulator marks its hang-up only after closing the line
  EXPECT_TRUE(readout.HungUp());
  const int64_t sent = station.app.boot.sentCount.load();
  EXPECT_GE(sent, 1000000);
  EXPECT_LT(sent, 4759532);
  auto lines = station.host.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().rfind("Download failed: the port stopped accepting data after ", 0), 0u)
      << lines.back();
  EXPECT_EQ(station.app.boot.bootBusy.load(), 0);
}

}  // namespace
}  // namespace quillon
