// Download time of the embedded images against quillon-sim over a
// pseudo-terminal.
//
// Paced: the simulator takes bytes at a stated baud rate; the bound is the
// line rate, size x 11 bits / baud (start, 8 data, parity, stop). The
// counter ratio_to_bound is the measured time over that bound.
// Unpaced: the same image with no pacing, against `cat` of the same bytes
// into a pseudo-terminal read as fast as it can be: the cost of the host's
// own path (blocks, the worker, the backend) over the bare tty.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/app.h"
#include "core/boot/image_download.h"
#include "core/serial/serial_port.h"
#include "platform/posix/posix_serial.h"
#include "resources/embedded_images.h"
#include "sim/sim_line.h"
#include "support/fakes.h"

namespace quillon {
namespace {

using Clock = std::chrono::steady_clock;

size_t ImageSize(const char* name, const uint8_t** data = nullptr) {
  EmbeddedImages images;
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  images.Lookup(name, &bytes, &size);
  if (data) *data = bytes;
  return size;
}

// One download through the core to the simulator; seconds until the
// simulator had every byte, or a negative value when the run failed.
double DownloadSeconds(const char* name, uint32_t simBaud) {
  const size_t size = ImageSize(name);
  sim::SimOptions options;
  options.mode = sim::SimMode::BOOT;
  options.expectSize = size;
  sim::LineOptions line;
  line.baud = simBaud;
  line.exitOnExpect = true;
  sim::SimLine readout(options, line);
  std::string error;
  if (!readout.Open(&error)) return -1;
  readout.StartThread();

  test::FakeHost host;
  posix::PosixSerialFactory factory;
  EmbeddedImages images;
  App app(host, factory, &images);
  OpenDevicePath(app, readout.Path());
  app.guide.choice = std::string(name) == IMAGE_BOOTLOADER ? CHOICE_BOOTLOADER : CHOICE_SOFTWARE;
  // The worker's bound counts FakeHost time, which only its own pauses move.
  auto start = Clock::now();
  if (StartImageDownload(app, 115200) != 1) return -1;
  const bool posted = host.WaitForPost(20 * 60 * 1000);
  JoinBootWorker(app);
  auto posts = host.TakePosts();
  while (posted && !readout.Finished() && !readout.HungUp() &&
         Clock::now() - start < std::chrono::minutes(20)) {
    std::this_thread::yield();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  CloseDevice(app);
  readout.Stop();
  const bool ok = posted && posts.size() == 1 && posts[0].success && readout.Finished();
  return ok ? seconds : -1;
}

void BM_PacedDownload(benchmark::State& state, const char* name) {
  const uint32_t baud = static_cast<uint32_t>(state.range(0));
  const double bound = static_cast<double>(ImageSize(name)) * 11.0 / baud;
  double worst = 0;
  for (auto _ : state) {
    double seconds = DownloadSeconds(name, baud);
    if (seconds < 0) {
      state.SkipWithError("download failed");
      return;
    }
    worst = std::max(worst, seconds);
    state.SetIterationTime(seconds);
  }
  state.counters["baud"] = baud;
  state.counters["bound_s"] = bound;
  state.counters["ratio_to_bound"] = worst / bound;
}
BENCHMARK_CAPTURE(BM_PacedDownload, bootloader, IMAGE_BOOTLOADER)
    ->Arg(115200)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
// The application image at 115200 would take 7.5 minutes; a faster stated
// rate keeps the run short while still measuring against its bound.
BENCHMARK_CAPTURE(BM_PacedDownload, software, IMAGE_SOFTWARE)
    ->Arg(8000000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_UnpacedDownload(benchmark::State& state) {
  const double size = static_cast<double>(ImageSize(IMAGE_SOFTWARE));
  for (auto _ : state) {
    double seconds = DownloadSeconds(IMAGE_SOFTWARE, 0);
    if (seconds < 0) {
      state.SkipWithError("download failed");
      return;
    }
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(size * static_cast<double>(state.iterations())));
}
BENCHMARK(BM_UnpacedDownload)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// The floor: cat of the same bytes into a raw pseudo-terminal whose master is
// drained as fast as possible.
void BM_CatIntoPty(benchmark::State& state) {
  const uint8_t* data = nullptr;
  const size_t size = ImageSize(IMAGE_SOFTWARE, &data);
  char path[] = "/tmp/quillon-bench-image-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) {
    state.SkipWithError("cannot write the image file");
    return;
  }
  close(fd);
  for (auto _ : state) {
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      state.SkipWithError("openpty failed");
      break;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    size_t received = 0;
    std::thread reader([&] {
      std::vector<char> buffer(65536);
      while (received < size) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        ssize_t n = read(master, buffer.data(), buffer.size());
        if (n <= 0) break;
        received += static_cast<size_t>(n);
      }
    });
    const std::string command = std::string("cat '") + path + "' > '" + name + "'";
    auto start = Clock::now();
    const int rc = std::system(command.c_str());
    reader.join();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    close(slave);
    close(master);
    if (rc != 0 || received != size) {
      state.SkipWithError("cat did not deliver the image");
      break;
    }
  }
  unlink(path);
  state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
}
BENCHMARK(BM_CatIntoPty)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillon

BENCHMARK_MAIN();
