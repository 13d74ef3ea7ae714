// A 32 kB settings file sent to and received from quillon-sim through the
// engine and the POSIX backend, over the simulator's USB line (--line usb) at
// 115200. The engine runs as the command line runs it: a QueueHost and a loop
// on the benchmark's thread, which is the engine's handler thread.
//
// Both dialogues are stop and wait: each frame goes out only after the answer
// to the one before came back. The bound is the sum over the round trips of
// the host's frame time, the readout's answer frame time (11 bit times a byte:
// start, 8 data, parity, stop) and one 1 ms USB frame, the longest the bridge
// holds an answer. ratio_to_bound is the measured time over it. The bridge
// holds an answer half a frame on average, so a host that turns round well
// within that comes in a little under 1; what is left above is both sides'
// turnaround. The host's is measured at its port (the answer's last byte read
// to the next frame's write), as its median and 99th percentile.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/jobs.h"
#include "core/protocol/packet.h"
#include "platform/posix/posix_serial.h"
#include "sim/sim_line.h"

namespace quillon {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t FILE_SIZE = 32768;
constexpr uint32_t BAUD = 115200;
constexpr size_t CHUNK = 128;

// The POSIX port with a time stamp on every read that returned bytes and on
// every write, for the host's turnaround.
class TimedDevice : public bench::DeviceProxy {
 public:
  using DeviceProxy::DeviceProxy;

  struct Event {
    Clock::time_point at;
    bool write;
  };

  SerialResult Read(uint8_t* buffer, size_t max) override {
    SerialResult got = inner_->Read(buffer, max);
    if (got.count > 0) Record(false);
    return got;
  }
  SerialResult Write(const uint8_t* data, size_t length) override {
    Record(true);
    return inner_->Write(data, length);
  }

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

// One packet each way: the bytes of the host's frame and of the readout's answer.
struct RoundTrip {
  size_t host;
  size_t readout;
};

double BoundSeconds(const std::vector<RoundTrip>& trips) {
  double seconds = 0;
  for (const RoundTrip& trip : trips)
    seconds += static_cast<double>((trip.host + trip.readout) * 11) / BAUD + 0.001;
  return seconds;
}

size_t Frame(size_t data) { return HEADER_SIZE + data; }

std::vector<RoundTrip> SendTrips(const std::vector<uint8_t>& file) {
  uint32_t sum = 0;
  for (uint8_t b : file) sum = (sum + b) & 0xFFFF;
  char header[64];
  int headerLength = std::snprintf(header, sizeof header, "%d,%u,%zu,", 25,
                                   static_cast<unsigned>(sum), file.size());
  std::vector<RoundTrip> trips = {{Frame(static_cast<size_t>(headerLength)), Frame(1)}};
  for (size_t at = 0; at < file.size(); at += CHUNK)
    trips.push_back({Frame(std::min(CHUNK, file.size() - at)), Frame(1)});
  trips.push_back({Frame(1), Frame(std::to_string(sum).size())});
  return trips;
}

std::vector<RoundTrip> ReceiveTrips(const std::vector<uint8_t>& file) {
  // The request "25", the size; an acknowledgement ("1", then "25") for the
  // size and for each piece, answered by the next piece or by the end.
  std::vector<RoundTrip> trips = {{Frame(2), Frame(std::to_string(file.size()).size())}};
  for (size_t at = 0; at < file.size(); at += CHUNK)
    trips.push_back({Frame(at == 0 ? 1 : 2), Frame(std::min(CHUNK, file.size() - at))});
  trips.push_back({Frame(file.empty() ? 1 : 2), Frame(1)});
  return trips;
}

// One transfer over a fresh simulator; false unless the file arrived whole.
bool RunTransfer(bool send, const std::vector<uint8_t>& file, const std::filesystem::path& dir,
                 double* seconds, std::vector<double>* turnarounds, std::string* error) {
  const auto store = dir / "store";
  std::filesystem::create_directories(store);
  const auto source = send ? dir / "settings-source.bin" : store / "settings.bin";
  const auto target = send ? store / "settings.bin" : dir / "settings-got.bin";
  std::filesystem::remove(target);
  {
    std::ofstream out(source, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
  }
  sim::SimOptions options;
  options.storeDir = store.string();
  sim::LineOptions line;
  line.baud = BAUD;
  line.kind = sim::LineKind::USB;
  sim::SimLine readout(options, line);
  if (!readout.Open(error)) return false;
  readout.StartThread();

  TimedFactory factory;
  Limits limits;
  limits.closePauseMs = 10;
  bench::EngineRun run(factory, limits);
  Engine& engine = run.engine();
  int openError = 0;
  if (!engine.Open(readout.Path(), "sim", &openError)) {
    *error = "cannot open " + readout.Path();
    readout.Stop();
    return false;
  }
  auto start = Clock::now();
  StartResult started =
      send ? engine.StartFileSend(FILE_KIND_SETTINGS, source.string(), "Sending Settings...")
           : engine.StartFileReceive(FILE_KIND_SETTINGS, target.string(), "",
                                     "Receiving Settings File...");
  bool done = started && run.RunJob(start + std::chrono::seconds(60));
  *seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const JobEnd& end = run.observer().end;
  bool ok = done && end.outcome == Outcome::DONE && end.bytes == file.size();
  if (factory.last) *turnarounds = Turnarounds(factory.last->Events());
  engine.Shutdown();
  readout.Stop();
  ok = ok && bench::ReadFile(target.string()) == file;
  if (!ok) {
    *error = !started ? "not started: " + started.reason
             : !done  ? "no end within 60 s; last log line: " + run.observer().LastLine()
                      : "the transfer did not complete with the file intact: " + end.reason;
  }
  return ok;
}

void BM_SettingsOverUsbLine(benchmark::State& state, bool send) {
  auto dir = std::filesystem::temp_directory_path() /
             ("quillon_transfer_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::vector<uint8_t> file(FILE_SIZE);
  std::mt19937 gen(64);
  for (auto& b : file) b = static_cast<uint8_t>(gen());

  double seconds = 0;
  std::vector<double> turnarounds;
  std::string error;
  bool ok = false;
  for (auto _ : state) {
    ok = RunTransfer(send, file, dir, &seconds, &turnarounds, &error);
    if (!ok) break;
    state.SetIterationTime(seconds);
  }
  std::filesystem::remove_all(dir);
  if (!ok) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::vector<RoundTrip> trips = send ? SendTrips(file) : ReceiveTrips(file);
  const double bound = BoundSeconds(trips);
  state.counters["measured_ms"] = seconds * 1000;
  state.counters["bound_ms"] = bound * 1000;
  state.counters["ratio_to_bound"] = seconds / bound;
  state.counters["round_trips"] = static_cast<double>(trips.size());
  // Per round trip, over the bound: both sides' turnaround less the frame wait saved.
  state.counters["over_bound_per_trip_us"] =
      (seconds - bound) * 1e6 / static_cast<double>(trips.size());
  state.counters["host_turnaround_median_us"] = Percentile(turnarounds, 0.5);
  state.counters["host_turnaround_p99_us"] = Percentile(turnarounds, 0.99);
  state.SetBytesProcessed(static_cast<int64_t>(FILE_SIZE));
}

BENCHMARK_CAPTURE(BM_SettingsOverUsbLine, send, true)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SettingsOverUsbLine, receive, false)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillon

BENCHMARK_MAIN();
