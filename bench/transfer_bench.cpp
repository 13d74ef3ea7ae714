// A 64 kB settings file sent through the core to quillon-sim over a
// pseudo-terminal paced at 115200 baud.
//
// The dialogue is stop and wait: each chunk frame (10 + 128 bytes) goes out
// only after the readout's answer to the previous one (10 + 1 bytes) came
// back. The bound is the line time of every byte of the dialogue, 11 bit
// times a byte (start, 8 data, parity, stop); ratio_to_bound is the measured
// time over it. What the bound leaves out is the two sides' turnaround: the
// host's is measured at its port (the answer's last byte read to the next
// frame's write), as its median and 99th percentile.
//
// The simulator paces each direction with a token bucket that holds 10 ms of
// bytes. An answer is short and comes after a quiet spell in its direction,
// so it leaves at once instead of at the line rate: the simulator can beat
// the wire bound by about the answers' line time. out_bound_ms is the bound
// with the frames to the readout alone, which it cannot beat.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "core/app.h"
#include "core/app/main_dialog.h"
#include "core/protocol/packet.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "platform/posix/posix_serial.h"
#include "sim/sim_line.h"
#include "support/e2e_host.h"

namespace quillon {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t FILE_SIZE = 65536;
constexpr uint32_t BAUD = 115200;
constexpr size_t CHUNK = 128;

// The POSIX port with a time stamp on every read that returned bytes and on
// every write, for the host's turnaround.
class TimedDevice : public SerialDevice {
 public:
  explicit TimedDevice(std::shared_ptr<SerialDevice> inner) : inner_(std::move(inner)) {}

  struct Event {
    Clock::time_point at;
    bool write;
  };

  bool Open(const std::string& name, const LineSettings& settings, int* error) override {
    return inner_->Open(name, settings, error);
  }
  bool IsOpen() const override { return inner_->IsOpen(); }
  void CancelWait() override { inner_->CancelWait(); }
  int Close() override { return inner_->Close(); }
  bool SetBaudRate(uint32_t baud) override { return inner_->SetBaudRate(baud); }
  bool Drain(int timeoutMs, int* error) override { return inner_->Drain(timeoutMs, error); }
  size_t BytesWaiting() override { return inner_->BytesWaiting(); }
  size_t Read(uint8_t* buffer, size_t max) override {
    size_t n = inner_->Read(buffer, max);
    if (n > 0) Record(false);
    return n;
  }
  size_t Write(const uint8_t* data, size_t length, int* error) override {
    Record(true);
    return inner_->Write(data, length, error);
  }
  WaitResult WaitForData(int timeoutMs, int* error) override {
    return inner_->WaitForData(timeoutMs, error);
  }
  bool GetCts(bool* cts) override { return inner_->GetCts(cts); }
  void SetDtr(bool on) override { inner_->SetDtr(on); }
  void ClearError() override { inner_->ClearError(); }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  void Record(bool write) {
    auto now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(Event{now, write});
  }

  std::shared_ptr<SerialDevice> inner_;
  std::mutex mutex_;
  std::vector<Event> events_;
};

class TimedFactory : public SerialFactory {
 public:
  std::shared_ptr<SerialDevice> Create() override {
    last = std::make_shared<TimedDevice>(posix_.Create());
    return last;
  }
  std::string PortName(int number) override { return posix_.PortName(number); }
  std::shared_ptr<TimedDevice> last;

 private:
  posix::PosixSerialFactory posix_;
};

// Host turnaround per answer: from the last read before a write to that
// write, in microseconds; only writes that follow a read count.
std::vector<double> Turnarounds(const std::vector<TimedDevice::Event>& events) {
  std::vector<double> out;
  const TimedDevice::Event* lastRead = nullptr;
  for (const auto& e : events) {
    if (!e.write) {
      lastRead = &e;
    } else if (lastRead) {
      out.push_back(std::chrono::duration<double, std::micro>(e.at - lastRead->at).count());
      lastRead = nullptr;
    }
  }
  return out;
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

// Line seconds of the dialogue's bytes: to the readout (*out) and both ways.
double BoundSeconds(const std::vector<uint8_t>& file, double* outSeconds) {
  uint32_t sum = 0;
  for (uint8_t b : file) sum = (sum + b) & 0xFFFF;
  char header[64];
  int headerLength = std::snprintf(header, sizeof header, "%d,%u,%zu,", 25,
                                   static_cast<unsigned>(sum), file.size());
  const size_t chunks = (file.size() + CHUNK - 1) / CHUNK;
  size_t out = HEADER_SIZE + static_cast<size_t>(headerLength)  // header packet
               + file.size() + chunks * HEADER_SIZE              // chunks
               + HEADER_SIZE + 1;                                // end packet
  size_t in = (chunks + 1) * (HEADER_SIZE + 1)                   // "1" to header and chunks
              + HEADER_SIZE + std::to_string(sum).size();        // the readout's sum
  *outSeconds = static_cast<double>(out * 11) / BAUD;
  return static_cast<double>((out + in) * 11) / BAUD;
}

void BM_SettingsSendPaced(benchmark::State& state) {
  auto dir = std::filesystem::temp_directory_path() /
             ("quillon_transfer_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::vector<uint8_t> file(FILE_SIZE);
  std::mt19937 gen(64);
  for (auto& b : file) b = static_cast<uint8_t>(gen());
  std::string source = (dir / "settings-source.bin").string();
  {
    std::ofstream out(source, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  }

  double seconds = 0;
  std::vector<double> turnarounds;
  bool ok = false;
  for (auto _ : state) {
    sim::SimOptions options;
    options.storeDir = (dir / "store").string();
    std::filesystem::create_directories(options.storeDir);
    sim::LineOptions line;
    line.baud = BAUD;
    sim::SimLine readout(options, line);
    std::string error;
    if (!readout.Open(&error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    readout.StartThread();

    test::E2eHost host;
    TimedFactory factory;
    App app(host, factory);
    app.limits.closePauseMs = 10;
    OpenDevicePath(app, readout.Path());
    StartReceiveThread(app);
    host.openAnswers.push_back(source);

    auto start = Clock::now();
    OnCommand(app, IDC_SEND_SETTINGS);
    bool done = host.RunUntil(app, [&] { return !host.Boxes().empty(); }, std::chrono::seconds(60));
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ok = done && host.Boxes().front().text == "Transfer of settings sucessfully completed.";
    if (factory.last) turnarounds = Turnarounds(factory.last->Events());
    OnDestroy(app);
    readout.Stop();
    std::ifstream stored((dir / "store" / "settings.bin").string(), std::ios::binary);
    std::vector<uint8_t> got{std::istreambuf_iterator<char>(stored),
                             std::istreambuf_iterator<char>()};
    ok = ok && got == file;
    state.SetIterationTime(seconds);
  }
  std::filesystem::remove_all(dir);
  if (!ok) {
    state.SkipWithError("the transfer did not complete with the file intact");
    return;
  }
  double outBound = 0;
  double bound = BoundSeconds(file, &outBound);
  state.counters["measured_ms"] = seconds * 1000;
  state.counters["bound_ms"] = bound * 1000;
  state.counters["ratio_to_bound"] = seconds / bound;
  state.counters["out_bound_ms"] = outBound * 1000;
  // Per packet, over what the simulator's pacing allows: both sides' turnaround.
  state.counters["overhead_per_packet_us"] =
      (seconds - outBound) * 1e6 / static_cast<double>(FILE_SIZE / CHUNK + 2);
  state.counters["frame_bytes"] = static_cast<double>(HEADER_SIZE + CHUNK);
  state.counters["answer_bytes"] = static_cast<double>(HEADER_SIZE + 1);
  state.counters["answers"] = static_cast<double>(turnarounds.size());
  state.counters["host_turnaround_median_us"] = Percentile(turnarounds, 0.5);
  state.counters["host_turnaround_p99_us"] = Percentile(turnarounds, 0.99);
  state.SetBytesProcessed(static_cast<int64_t>(FILE_SIZE));
}

BENCHMARK(BM_SettingsSendPaced)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillon

BENCHMARK_MAIN();
