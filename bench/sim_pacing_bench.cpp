// quillon-sim's paced mode: the rate it actually takes and gives bytes at,
// against the requested line rate (baud / 11 bytes per second), on the plain
// pty line (usb:0) and on the USB line (usb:1). Each run moves about half a
// second's worth of bytes over a real pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_line.h"

namespace {

using Clock = std::chrono::steady_clock;
using quillon::sim::LineKind;
using quillon::sim::LineOptions;
using quillon::sim::SimLine;
using quillon::sim::SimMode;
using quillon::sim::SimOptions;

int OpenHost(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

void SetRates(benchmark::State& state, uint32_t baud, size_t bytes, double seconds) {
  double requested = baud / 11.0;
  double measured = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
  state.counters["requested_Bps"] = requested;
  state.counters["measured_Bps"] = measured;
  state.counters["ratio"] = requested > 0 ? measured / requested : 0;
}

// Host to simulator: the bootloader takes an image at the paced rate.
void BM_PacedReceive(benchmark::State& state) {
  auto baud = static_cast<uint32_t>(state.range(0));
  size_t bytes = baud / 22;  // half a second at the line rate
  std::vector<uint8_t> image(bytes, 0x5A);
  for (auto _ : state) {
    SimOptions options;
    options.mode = SimMode::BOOT;
    options.eraseDetect = false;
    LineOptions line;
    line.baud = baud;
    line.kind = state.range(1) != 0 ? LineKind::USB : LineKind::PTY;
    SimLine sim(options, line);
    std::string error;
    if (!sim.Open(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    int fd = OpenHost(sim.Path());
    sim.StartThread();
    auto start = Clock::now();
    size_t done = 0;
    while (done < image.size()) {
      ssize_t n = write(fd, image.data() + done, image.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
    while (sim.ImageBytes() < bytes) std::this_thread::sleep_for(std::chrono::microseconds(200));
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    SetRates(state, baud, bytes, seconds);
    sim.Stop();
    close(fd);
  }
}

// Simulator to host: unasked log packets leave at the paced rate.
void BM_PacedSend(benchmark::State& state) {
  auto baud = static_cast<uint32_t>(state.range(0));
  size_t packets = std::max<size_t>(1, baud / 22 / 510);
  for (auto _ : state) {
    SimOptions options;
    options.sendLog.assign(packets, std::string(500, 'x'));
    options.sendAfterMs = 0;
    LineOptions line;
    line.baud = baud;
    line.kind = state.range(1) != 0 ? LineKind::USB : LineKind::PTY;
    SimLine sim(options, line);
    std::string error;
    if (!sim.Open(&error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    int fd = OpenHost(sim.Path());
    size_t expected = packets * 510;
    sim.StartThread();
    auto start = Clock::now();
    size_t got = 0;
    uint8_t buffer[4096];
    while (got < expected) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) got += static_cast<size_t>(n);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    SetRates(state, baud, got, seconds);
    sim.Stop();
    close(fd);
  }
}

BENCHMARK(BM_PacedReceive)->ArgsProduct({{9600, 38400, 115200}, {0, 1}})->ArgNames({"baud", "usb"})
    ->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PacedSend)->ArgsProduct({{9600, 38400, 115200}, {0, 1}})->ArgNames({"baud", "usb"})
    ->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
