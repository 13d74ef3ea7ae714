// Download time of the embedded images against quillon-sim over a
// pseudo-terminal.
//
// Paced: the host's port is wrapped in LineModelDevice, which sends at the
// rate the host sets (115200 for the download) through a 4 KiB transmit
// queue, as a USB-serial driver does, to the simulator on its USB line at the
// same rate. The bound is the line rate, size x 11 bits / baud (start, 8 data,
// parity, stop); ratio_to_bound is the measured time, from the start to the
// simulator holding every byte, over it. garbled_bytes counts the bytes still
// in the queue when the host switched to 38400 after the download: a host
// that drains first has none.
// Unpaced: the same image with no pacing, to the simulator and to a bare
// drained pseudo-terminal, against `cat` of the same bytes into such a
// pseudo-terminal: the cost of the host's own path (blocks, the worker, the
// backend) over the bare tty.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
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
#include "sim/line_model.h"
#include "sim/sim_line.h"
#include "support/e2e_host.h"
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

// The POSIX port behind the host's end of a real line.
class LineModelFactory : public SerialFactory {
 public:
  std::shared_ptr<SerialDevice> Create() override {
    last = std::make_shared<sim::LineModelDevice>(posix_.Create());
    return last;
  }
  std::string PortName(int number) override { return posix_.PortName(number); }
  std::shared_ptr<sim::LineModelDevice> last;

 private:
  posix::PosixSerialFactory posix_;
};

// One download through the core to the simulator; seconds until the
// simulator had every byte, or a negative value when the run failed.
// simBaud 0: the host's port and the simulator unpaced.
double DownloadSeconds(const char* name, uint32_t simBaud, uint64_t* garbled = nullptr) {
  const size_t size = ImageSize(name);
  sim::SimOptions options;
  options.mode = sim::SimMode::BOOT;
  options.expectSize = size;
  sim::LineOptions line;
  line.baud = simBaud;
  line.kind = simBaud == 0 ? sim::LineKind::PTY : sim::LineKind::USB;
  line.exitOnExpect = true;
  sim::SimLine readout(options, line);
  std::string error;
  if (!readout.Open(&error)) return -1;
  readout.StartThread();

  // Real time, so that the host's pause before it switches the rate is real.
  test::E2eHost host;
  posix::PosixSerialFactory posixFactory;
  LineModelFactory modelFactory;
  SerialFactory& factory = simBaud == 0 ? static_cast<SerialFactory&>(posixFactory) : modelFactory;
  EmbeddedImages images;
  App app(host, factory, &images);
  OpenDevicePath(app, readout.Path());
  app.guide.choice = std::string(name) == IMAGE_BOOTLOADER ? CHOICE_BOOTLOADER : CHOICE_SOFTWARE;
  auto start = Clock::now();
  if (StartImageDownload(app, 115200) != 1) return -1;
  const bool posted = host.WaitForPost(20 * 60 * 1000);
  JoinBootWorker(app);
  auto posts = host.TakePosts();
  while (posted && !readout.Finished() && !readout.HungUp() &&
         Clock::now() - start < std::chrono::minutes(20)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (garbled && modelFactory.last) *garbled = modelFactory.last->GarbledBytes();
  CloseDevice(app);
  readout.Stop();
  const bool ok = posted && posts.size() == 1 && posts[0].success && readout.Finished();
  return ok ? seconds : -1;
}

// The host sets 115200 for the download, so that is the rate here; the
// application image at that rate takes 7.5 minutes, so only the bootloader
// image runs by default.
void BM_PacedDownload(benchmark::State& state, const char* name) {
  const uint32_t baud = 115200;
  const double bound = static_cast<double>(ImageSize(name)) * 11.0 / baud;
  double worst = 0;
  uint64_t garbled = 0;
  for (auto _ : state) {
    double seconds = DownloadSeconds(name, baud, &garbled);
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
  state.counters["garbled_bytes"] = static_cast<double>(garbled);
}
BENCHMARK_CAPTURE(BM_PacedDownload, bootloader, IMAGE_BOOTLOADER)
    ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

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

// A pseudo-terminal in raw mode whose master a thread drains as fast as it
// can, counting the bytes.
struct DrainedPty {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  std::atomic<size_t> received{0};
  std::thread reader;

  bool Open(size_t expect) {
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return false;
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    reader = std::thread([this, expect] {
      std::vector<char> buffer(65536);
      while (received.load() < expect) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        ssize_t n = read(master, buffer.data(), buffer.size());
        if (n <= 0) break;
        received.fetch_add(static_cast<size_t>(n));
      }
    });
    return true;
  }
  ~DrainedPty() {
    if (reader.joinable()) reader.join();
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

// The host's own path alone: the core and the POSIX backend writing into a
// drained pseudo-terminal, no simulator on the other side.
void BM_UnpacedDownloadToRawPty(benchmark::State& state) {
  const size_t size = ImageSize(IMAGE_SOFTWARE);
  for (auto _ : state) {
    DrainedPty pty;
    if (!pty.Open(size)) {
      state.SkipWithError("openpty failed");
      break;
    }
    test::FakeHost host;
    posix::PosixSerialFactory factory;
    EmbeddedImages images;
    App app(host, factory, &images);
    OpenDevicePath(app, pty.name);
    auto start = Clock::now();
    if (StartImageDownload(app, 115200) != 1) {
      state.SkipWithError("download not started");
      break;
    }
    const bool posted = host.WaitForPost(10 * 60 * 1000);
    JoinBootWorker(app);
    pty.reader.join();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    CloseDevice(app);
    auto posts = host.TakePosts();
    if (!posted || posts.size() != 1 || !posts[0].success || pty.received.load() != size) {
      state.SkipWithError("download failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
}
BENCHMARK(BM_UnpacedDownloadToRawPty)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

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
    DrainedPty pty;
    if (!pty.Open(size)) {
      state.SkipWithError("openpty failed");
      break;
    }
    const std::string command = std::string("cat '") + path + "' > '" + pty.name + "'";
    auto start = Clock::now();
    const int rc = std::system(command.c_str());
    pty.reader.join();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (rc != 0 || pty.received.load() != size) {
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
