// Download time of the embedded images through the engine against
// quillon-sim over a pseudo-terminal. The engine runs as the command line
// runs it: a QueueHost and a loop on the benchmark's thread.
//
// Paced: the host's port is wrapped in LineModelDevice, which sends at the
// rate the host sets (115200 for the download) through a 4 KiB transmit
// queue, as a USB-serial driver does, to the simulator on its USB line at the
// same rate. The bound is the line rate, size x 11 bits / baud (start, 8 data,
// parity, stop); ratio_to_bound is the measured time, from the start to the
// simulator holding every byte, over it; job_end_s is the time until the
// engine reported the job's end (after its drain and its 100 ms pause).
// garbled_bytes counts the bytes still in the queue when the host switched
// to 38400 after the download: a host that drains first has none. The image
// the simulator stored is compared with the one sent.
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
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "core/engine/image_source.h"
#include "platform/posix/posix_serial.h"
#include "resources/embedded_images.h"
#include "sim/line_model.h"
#include "sim/sim_line.h"

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

struct DownloadResult {
  double seconds = -1;  // until the simulator held every byte; < 0: the run failed
  double jobEndSeconds = 0;
  uint64_t garbled = 0;
  std::string error;
};

// One download through the engine to the simulator.
// simBaud 0: the host's port and the simulator unpaced.
DownloadResult Download(const char* name, uint32_t simBaud) {
  DownloadResult result;
  const uint8_t* data = nullptr;
  const size_t size = ImageSize(name, &data);
  char savePath[] = "/tmp/quillon-bench-saved-XXXXXX";
  int saveFd = mkstemp(savePath);
  if (saveFd < 0) {
    result.error = "cannot create a temporary file";
    return result;
  }
  close(saveFd);
  sim::SimOptions options;
  options.mode = sim::SimMode::BOOT;
  options.expectSize = size;
  options.saveImage = savePath;
  sim::LineOptions line;
  line.baud = simBaud;
  line.kind = simBaud == 0 ? sim::LineKind::PTY : sim::LineKind::USB;
  line.exitOnExpect = true;
  sim::SimLine readout(options, line);
  if (!readout.Open(&result.error)) return result;
  bench::SimThread simThread(readout);
  simThread.Start();

  posix::PosixSerialFactory posixFactory;
  LineModelFactory modelFactory;
  SerialFactory& factory = simBaud == 0 ? static_cast<SerialFactory&>(posixFactory) : modelFactory;
  bench::EngineRun run(factory);
  Engine& engine = run.engine();
  if (!engine.Open(readout.Path(), "sim")) {
    result.error = "cannot open " + readout.Path();
    return result;
  }
  // Generous: the line-rate time three times over, and a minute.
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(60) +
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            3.0 * static_cast<double>(size) * 11.0 / 115200));
  const DownloadRun kind = std::string(name) == IMAGE_BOOTLOADER ? DownloadRun::BOOTLOADER_UPDATE
                                                                 : DownloadRun::GUIDED_IMAGE;
  StartResult started = engine.StartDownload(data, size, 115200, kind);
  const bool ended = started && run.RunJob(deadline);
  const bool arrived = started && simThread.WaitEnd(deadline);
  const JobEnd& end = run.observer().end;
  if (modelFactory.last) result.garbled = modelFactory.last->GarbledBytes();
  engine.Shutdown();
  simThread.Stop();
  const bool intact = bench::ReadFile(savePath) == std::vector<uint8_t>(data, data + size);
  unlink(savePath);
  if (!started) {
    result.error = "not started: " + started.reason;
  } else if (!ended) {
    result.error = "no job end in time; last log line: " + run.observer().LastLine();
  } else if (end.outcome != Outcome::DONE || end.bytes != size) {
    result.error = "the download failed: " + end.reason;
  } else if (!arrived || !readout.Finished() || !intact) {
    result.error = "the simulator did not get the image intact";
  } else {
    result.seconds = bench::Seconds(simThread.EndedAt() - start);
    result.jobEndSeconds = bench::Seconds(run.observer().endAt - start);
  }
  return result;
}

// The host sets 115200 for the download, so that is the rate here; the
// application image at that rate takes 7.5 minutes, so only the bootloader
// image runs by default.
void BM_PacedDownload(benchmark::State& state, const char* name) {
  const uint32_t baud = 115200;
  const double bound = static_cast<double>(ImageSize(name)) * 11.0 / baud;
  double worst = 0;
  double worstEnd = 0;
  uint64_t garbled = 0;
  for (auto _ : state) {
    DownloadResult result = Download(name, baud);
    if (result.seconds < 0) {
      state.SkipWithError(result.error.c_str());
      return;
    }
    worst = std::max(worst, result.seconds);
    worstEnd = std::max(worstEnd, result.jobEndSeconds);
    garbled += result.garbled;
    state.SetIterationTime(result.seconds);
  }
  state.counters["baud"] = baud;
  state.counters["bound_s"] = bound;
  state.counters["ratio_to_bound"] = worst / bound;
  state.counters["job_end_s"] = worstEnd;
  state.counters["garbled_bytes"] = static_cast<double>(garbled);
}
BENCHMARK_CAPTURE(BM_PacedDownload, bootloader, IMAGE_BOOTLOADER)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_UnpacedDownload(benchmark::State& state) {
  const double size = static_cast<double>(ImageSize(IMAGE_SOFTWARE));
  for (auto _ : state) {
    DownloadResult result = Download(IMAGE_SOFTWARE, 0);
    if (result.seconds < 0) {
      state.SkipWithError(result.error.c_str());
      return;
    }
    state.SetIterationTime(result.seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(size * static_cast<double>(state.iterations())));
}
BENCHMARK(BM_UnpacedDownload)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// A pseudo-terminal in raw mode whose master a thread drains as fast as it
// can, counting the bytes; lastByteAt is when the expected count was reached
// (read after the join).
struct DrainedPty {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  std::atomic<size_t> received{0};
  Clock::time_point lastByteAt;
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
      lastByteAt = Clock::now();
    });
    return true;
  }
  ~DrainedPty() {
    if (reader.joinable()) reader.join();
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

// The host's own path alone: the engine and the POSIX backend writing into a
// drained pseudo-terminal, no simulator on the other side; timed until the
// last byte was read, as the other two (the worker's 100 ms pause before it
// reports its end is not the path's cost).
void BM_UnpacedDownloadToRawPty(benchmark::State& state) {
  const size_t size = ImageSize(IMAGE_SOFTWARE);
  for (auto _ : state) {
    DrainedPty pty;
    if (!pty.Open(size)) {
      state.SkipWithError("openpty failed");
      break;
    }
    const uint8_t* data = nullptr;
    ImageSize(IMAGE_SOFTWARE, &data);
    posix::PosixSerialFactory factory;
    bench::EngineRun run(factory);
    if (!run.engine().Open(pty.name, "pty")) {
      state.SkipWithError("cannot open the pseudo-terminal");
      break;
    }
    auto start = Clock::now();
    if (!run.engine().StartDownload(data, size, 115200, DownloadRun::GUIDED_IMAGE)) {
      state.SkipWithError("download not started");
      break;
    }
    const bool ended = run.RunJob(start + std::chrono::minutes(10));
    pty.reader.join();
    state.SetIterationTime(bench::Seconds(pty.lastByteAt - start));
    run.engine().Shutdown();
    const JobEnd& end = run.observer().end;
    if (!ended || end.outcome != Outcome::DONE || pty.received.load() != size) {
      state.SkipWithError("download failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
}
BENCHMARK(BM_UnpacedDownloadToRawPty)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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
    state.SetIterationTime(bench::Seconds(pty.lastByteAt - start));
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
