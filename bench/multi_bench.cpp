// The production line: several readouts (8 unless told) taking the same
// image at once, each simulated in this process on its own pseudo-terminal
// at 115200 with the USB line model, each with its own engine on its own
// handler thread, as the command line runs one PortRun per port. The host's
// end of each line is LineModelDevice (the driver's 4 KiB transmit queue
// emptied at the line rate) unless --no-line-model, when the engine writes
// straight into the pseudo-terminal.
//
// It reports the aggregate rate, every image's bytes over the time from the
// common start until the last simulator held its whole image, against
// N x 115200/11 bytes/s, and the same until the last engine reported its
// end; and the process's CPU time (getrusage before and after) split by
// per-thread CPU clocks into the simulators' loops, the line model's pumps
// (which stand for the operating system's driver), the engines' own threads
// (handler loop, receive thread, download worker) and the rest. CPU is given
// as % of one core per readout over the wall time, with each thread kind's
// wake-ups (voluntary context switches) per second and readout.
//
// Through the line model the download worker's write is woken at every 1 ms
// slice of the pump (the model's wake-up policy, not one a driver has), so
// the host's CPU there is an upper bound; --no-line-model gives the other
// end, where the pty takes the image in a few large writes.
//
//   multi_bench [--readouts N] [--image bootloader|software|<KB>k] [--no-line-model]
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/engine/image_source.h"
#include "platform/posix/posix_serial.h"
#include "resources/embedded_images.h"
#include "sim/line_model.h"
#include "sim/sim_line.h"

namespace quillon {
namespace {

using bench::Clock;
using bench::Seconds;

constexpr uint32_t BAUD = 115200;
constexpr double LINE_BYTES_PER_S = BAUD / 11.0;

// CPU time and wake-ups of a thread, or of a sum of threads.
struct Use {
  double cpu = 0;
  uint64_t wakeups = 0;
  Use& operator+=(const Use& other) {
    cpu += other.cpu;
    wakeups += other.wakeups;
    return *this;
  }
  Use operator-(const Use& other) const { return {cpu - other.cpu, wakeups - other.wakeups}; }
};

Use ThisThreadUse() { return {bench::ThreadCpuSeconds(), bench::Wakeups(bench::ThisTid())}; }

// A thread met in a device call: the first caller of a kind of call is
// remembered, so its clock can be read from elsewhere while it lives.
class SeenThread {
 public:
  void RememberFirstCaller() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (seen_) return;
    seen_ = true;
    id_ = pthread_self();
    clock_ = bench::ThisThreadClock();
    tid_ = bench::ThisTid();
  }
  bool IsCaller() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_ && pthread_equal(id_, pthread_self()) != 0;
  }
  // Only while the thread lives; nothing when it was never seen.
  Use Read() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!seen_) return {};
    return {bench::CpuClockSeconds(clock_), bench::Wakeups(tid_)};
  }

 private:
  std::mutex mutex_;
  bool seen_ = false;
  pthread_t id_{};
  clockid_t clock_{};
  pid_t tid_ = 0;
};

// The engine's side of the port. Its wait is the receive thread's, its
// writes the download worker's; the worker's last call is the rate change
// after the drain, where its own use is taken (it ends soon after).
class EngineSideProbe : public bench::DeviceProxy {
 public:
  using DeviceProxy::DeviceProxy;
  SerialResult WaitForData(int timeoutMs) override {
    receiver.RememberFirstCaller();
    return inner_->WaitForData(timeoutMs);
  }
  SerialResult Write(const uint8_t* data, size_t length) override {
    writer_.RememberFirstCaller();
    return inner_->Write(data, length);
  }
  SerialResult SetBaudRate(uint32_t baud) override {
    if (writer_.IsCaller()) {
      std::lock_guard<std::mutex> lock(mutex_);
      workerUse_ = ThisThreadUse();
    }
    return inner_->SetBaudRate(baud);
  }
  Use WorkerUse() {
    std::lock_guard<std::mutex> lock(mutex_);
    return workerUse_;
  }
  SeenThread receiver;

 private:
  SeenThread writer_;
  std::mutex mutex_;
  Use workerUse_;
};

// Below the line model: its writes are the pump's.
class PumpProbe : public bench::DeviceProxy {
 public:
  using DeviceProxy::DeviceProxy;
  SerialResult Write(const uint8_t* data, size_t length) override {
    pump.RememberFirstCaller();
    return inner_->Write(data, length);
  }
  SeenThread pump;
};

class ProbeFactory : public SerialFactory {
 public:
  explicit ProbeFactory(bool lineModel) : lineModel_(lineModel) {}
  std::shared_ptr<SerialDevice> Create() override {
    std::shared_ptr<SerialDevice> device = posix_.Create();
    if (lineModel_) {
      pumpSide = std::make_shared<PumpProbe>(device);
      model = std::make_shared<sim::LineModelDevice>(pumpSide);
      device = model;
    }
    engineSide = std::make_shared<EngineSideProbe>(device);
    return engineSide;
  }
  std::string PortName(int number) override { return posix_.PortName(number); }

  std::shared_ptr<EngineSideProbe> engineSide;
  std::shared_ptr<PumpProbe> pumpSide;
  std::shared_ptr<sim::LineModelDevice> model;

 private:
  const bool lineModel_;
  posix::PosixSerialFactory posix_;
};

struct Options {
  int readouts = 8;
  std::string image = "bootloader";
  bool lineModel = true;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--readouts" && i + 1 < argc) {
      options->readouts = std::atoi(argv[++i]);
      if (options->readouts < 1 || options->readouts > 64) return false;
    } else if (arg == "--image" && i + 1 < argc) {
      options->image = argv[++i];
    } else if (arg == "--no-line-model") {
      options->lineModel = false;
    } else {
      return false;
    }
  }
  return true;
}

// The image's bytes and the download kind; false when the name is unknown.
bool LoadImage(const std::string& which, std::vector<uint8_t>* image, std::string* label,
               DownloadRun* kind) {
  if (which == "bootloader" || which == "software") {
    EmbeddedImages images;
    const uint8_t* data = nullptr;
    size_t size = 0;
    const char* name = which == "bootloader" ? IMAGE_BOOTLOADER : IMAGE_SOFTWARE;
    if (images.Lookup(name, &data, &size) != ImageLookup::FOUND) return false;
    image->assign(data, data + size);
    *label = name;
    *kind = which == "bootloader" ? DownloadRun::BOOTLOADER_UPDATE : DownloadRun::GUIDED_IMAGE;
    return true;
  }
  if (which.size() < 2 || which.back() != 'k') return false;
  const long kb = std::atol(which.c_str());
  if (kb < 1 || kb > 100000) return false;
  image->resize(static_cast<size_t>(kb) * 1024);
  std::mt19937 gen(7);
  for (auto& b : *image) b = static_cast<uint8_t>(gen());
  (*image)[0] = 0x5A;  // not the erase command's first byte
  *label = "generated, " + which + "B";
  *kind = DownloadRun::GUIDED_IMAGE;
  return true;
}

std::string LoadAverage() {
  std::FILE* f = std::fopen("/proc/loadavg", "r");
  if (!f) return "?";
  char text[128] = {};
  if (!std::fgets(text, sizeof text, f)) text[0] = 0;
  std::fclose(f);
  std::string s = text;
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// One readout: its simulator, its port and its engine, and what its run gave.
struct Readout {
  std::string savePath;
  std::unique_ptr<sim::SimLine> line;
  std::unique_ptr<bench::SimThread> simThread;
  std::unique_ptr<ProbeFactory> factory;
  std::unique_ptr<bench::EngineRun> run;
  std::thread handler;

  // Written by the handler thread, read after its join.
  bool opened = false;
  bool started = false;
  bool ended = false;
  std::string failure;
  Use handlerUse, receiveUse, pumpUse, workerUse;
  // Read by the main thread at the start.
  Use simStart, receiveStart;
};

// The start signal and the counts the main thread waits on.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  int opened = 0;
  bool go = false;
  bool abort = false;
  Clock::time_point start;
  Clock::time_point deadline;
};

void HandlerThread(Readout& r, Gate& gate, const std::vector<uint8_t>& image, DownloadRun kind) {
  Engine& engine = r.run->engine();
  r.opened = engine.Open(r.line->Path(), r.line->Path());
  Clock::time_point deadline;
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    ++gate.opened;
    gate.changed.notify_all();
    if (!r.opened) {
      r.failure = "cannot open " + r.line->Path();
      return;
    }
    // The main thread gives the signal once every port is open, or gives up.
    if (!gate.changed.wait_for(lock, std::chrono::seconds(60),
                               [&] { return gate.go || gate.abort; }) ||
        !gate.go) {
      r.failure = "not started: another port could not be opened";
      return;
    }
    deadline = gate.deadline;
  }
  const Use before = ThisThreadUse();
  StartResult started = engine.StartDownload(image.data(), image.size(), BAUD, kind);
  r.started = started.started;
  if (!r.started) {
    r.failure = "not started: " + started.reason;
    return;
  }
  r.ended = r.run->RunJob(deadline);
  r.handlerUse = ThisThreadUse() - before;
  // The receive thread and the pump live until the port closes: read them now.
  r.receiveUse = r.factory->engineSide->receiver.Read() - r.receiveStart;
  if (r.factory->pumpSide) r.pumpUse = r.factory->pumpSide->pump.Read();
  r.workerUse = r.factory->engineSide->WorkerUse();
  const JobEnd& end = r.run->observer().end;
  if (!r.ended) {
    r.failure = "no end by the deadline; last log line: " + r.run->observer().LastLine();
  } else if (end.outcome != Outcome::DONE || end.bytes != image.size()) {
    r.failure = "download failed: " + end.reason;
  }
}

double Percent(double cpuSeconds, int readouts, double wall) {
  return wall > 0 ? 100.0 * cpuSeconds / readouts / wall : 0;
}

int Run(const Options& options) {
  std::vector<uint8_t> image;
  std::string label;
  DownloadRun kind = DownloadRun::GUIDED_IMAGE;
  if (!LoadImage(options.image, &image, &label, &kind)) {
    std::fprintf(stderr, "multi_bench: unknown image %s\n", options.image.c_str());
    return 2;
  }
  const int n = options.readouts;
  const double lineSeconds = static_cast<double>(image.size()) / LINE_BYTES_PER_S;
  std::printf(
      "multi_bench: %d readouts, image %s (%zu bytes), %u baud, simulator --line usb, "
      "host port %s\n",
      n, label.c_str(), image.size(), BAUD,
      options.lineModel ? "through LineModelDevice (4 KiB queue)" : "straight into the pty");
  std::printf("load average before: %s (2 shared cores: numbers are noisy)\n",
              LoadAverage().c_str());

  char dirTemplate[] = "/tmp/quillon-multi-bench-XXXXXX";
  if (!mkdtemp(dirTemplate)) {
    std::fprintf(stderr, "multi_bench: mkdtemp: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string dir = dirTemplate;

  std::vector<Readout> readouts(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    Readout& r = readouts[static_cast<size_t>(i)];
    r.savePath = dir + "/image-" + std::to_string(i) + ".bin";
    sim::SimOptions simOptions;
    simOptions.mode = sim::SimMode::BOOT;
    simOptions.expectSize = image.size();
    simOptions.saveImage = r.savePath;
    sim::LineOptions line;
    line.baud = BAUD;
    line.kind = sim::LineKind::USB;
    line.exitOnExpect = true;
    r.line = std::make_unique<sim::SimLine>(simOptions, line);
    std::string error;
    if (!r.line->Open(&error)) {
      std::fprintf(stderr, "multi_bench: simulator %d: %s\n", i, error.c_str());
      return 1;
    }
    r.simThread = std::make_unique<bench::SimThread>(*r.line);
    r.simThread->Start();
    r.factory = std::make_unique<ProbeFactory>(options.lineModel);
    r.run = std::make_unique<bench::EngineRun>(*r.factory);
  }

  Gate gate;
  for (auto& r : readouts) {
    r.handler = std::thread([&r, &gate, &image, kind] { HandlerThread(r, gate, image, kind); });
  }
  bool allOpen = false;
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.changed.wait_for(lock, std::chrono::seconds(30), [&] { return gate.opened == n; });
    allOpen = gate.opened == n;
    for (auto& r : readouts) allOpen = allOpen && r.opened;
  }
  rusage usageBefore{};
  getrusage(RUSAGE_SELF, &usageBefore);
  const double cpuBefore = bench::ProcessCpuSeconds();
  for (auto& r : readouts) {
    r.simStart = {r.simThread->CpuSeconds(), r.simThread->WakeupCount()};
    // Nothing yet when the receive thread has not waited on its new port.
    r.receiveStart = r.factory->engineSide ? r.factory->engineSide->receiver.Read() : Use{};
  }
  const Clock::time_point start = Clock::now();
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.start = start;
    gate.deadline =
        start + std::chrono::seconds(30) +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(3 * lineSeconds));
    gate.go = allOpen;
    gate.abort = !allOpen;
  }
  gate.changed.notify_all();
  for (auto& r : readouts) r.handler.join();
  const Clock::time_point stop = Clock::now();
  const double cpuAfter = bench::ProcessCpuSeconds();
  rusage usageAfter{};
  getrusage(RUSAGE_SELF, &usageAfter);
  const std::string loadAfter = LoadAverage();

  // The simulators end once their image is whole; one that never got it is stopped.
  for (auto& r : readouts) r.simThread->WaitEnd(stop + std::chrono::seconds(2));
  for (auto& r : readouts) {
    r.simThread->Stop();
    r.run->engine().Shutdown();
  }

  const double wall = Seconds(stop - start);
  Use sim, handler, receive, pump, worker;
  double lastArrival = 0;
  double lastEnd = 0;
  int good = 0;
  int endedEarly = 0;
  std::printf("\n%-8s %10s %10s %12s %8s  %s\n", "readout", "arrived_s", "job_end_s", "line_ratio",
              "garbled", "result");
  for (int i = 0; i < n; ++i) {
    Readout& r = readouts[static_cast<size_t>(i)];
    const bool arrived = r.line->Finished();
    const double arrival = arrived ? Seconds(r.simThread->EndedAt() - start) : 0;
    const double endAt = r.ended ? Seconds(r.run->observer().endAt - start) : 0;
    const bool intact = arrived && bench::ReadFile(r.savePath) == image;
    const uint64_t garbled = r.factory->model ? r.factory->model->GarbledBytes() : 0;
    std::string result = r.failure.empty() ? "done" : r.failure;
    if (r.failure.empty() && !intact) result = "the simulator's image differs from the one sent";
    if (r.failure.empty() && intact) ++good;
    std::printf("%-8d %10.3f %10.3f %12.4f %8" PRIu64 "  %s\n", i, arrival, endAt,
                arrival > 0 ? lineSeconds / arrival : 0.0, garbled, result.c_str());
    if (arrived && r.ended && endAt < arrival) ++endedEarly;
    lastArrival = std::max(lastArrival, arrival);
    lastEnd = std::max(lastEnd, endAt);
    sim += Use{r.simThread->CpuSeconds(), r.simThread->WakeupCount()} - r.simStart;
    handler += r.handlerUse;
    receive += r.receiveUse;
    pump += r.pumpUse;
    worker += r.workerUse;
  }
  std::filesystem::remove_all(dir);

  const double bytes = static_cast<double>(image.size()) * n;
  const double goal = n * LINE_BYTES_PER_S;
  std::printf(
      "\nline-rate time of one image: %.3f s; wall time, start to the last job end: %.3f s\n",
      lineSeconds, wall);
  if (good == n) {
    std::printf(
        "aggregate rate to the last image whole:  %9.0f B/s = %.4f of %d x line rate "
        "(%.0f B/s); goal >= 0.98\n",
        bytes / lastArrival, bytes / lastArrival / goal, n, goal);
    std::printf(
        "aggregate rate to the last job end:      %9.0f B/s = %.4f of %d x line rate "
        "(the end follows the drain and the worker's 100 ms pause)\n",
        bytes / lastEnd, bytes / lastEnd / goal, n);
  } else {
    std::printf("FAILED: %d of %d readouts got the image intact; no rate given\n", good, n);
  }
  if (endedEarly > 0) {
    std::printf(
        "NOTE: %d job(s) ended before their readout held the whole image: the drain on a\n"
        "      pseudo-terminal (tcdrain) returns while the far end has not read the bytes yet\n",
        endedEarly);
  }

  const double total = cpuAfter - cpuBefore;
  const Use engine = [&] {
    Use u = handler;
    u += receive;
    u += worker;
    return u;
  }();
  const double rest = total - sim.cpu - pump.cpu - engine.cpu;
  auto row = [&](const char* what, const Use& u, bool wakeups) {
    if (wakeups) {
      std::printf("  %-44s %8.3f s %7.3f %% %9.0f /s\n", what, u.cpu, Percent(u.cpu, n, wall),
                  static_cast<double>(u.wakeups) / n / wall);
    } else {
      std::printf("  %-44s %8.3f s %7.3f %%\n", what, u.cpu, Percent(u.cpu, n, wall));
    }
  };
  std::printf("\nCPU over %.3f s (%% of one core per readout; wake-ups per second per readout):\n",
              wall);
  row("process total (getrusage)", {total, 0}, false);
  row("simulator loops (the readouts)", sim, true);
  if (options.lineModel) row("line model pumps (stand for the OS driver)", pump, true);
  row("engine handler loops", handler, true);
  row("engine receive threads", receive, true);
  row("engine download workers", worker, true);
  row("rest (main thread, unaccounted)", {rest, 0}, false);
  const double host = total - sim.cpu - pump.cpu;
  std::printf("host = total - simulators%s: %.3f %% of one core per readout; goal < 2 %%\n",
              options.lineModel ? " - line model" : "", Percent(host, n, wall));
  std::printf("host, the engines' threads alone: %.3f %% of one core per readout\n",
              Percent(engine.cpu, n, wall));
  std::printf("process context switches: %.0f voluntary/s, %.0f involuntary/s\n",
              static_cast<double>(usageAfter.ru_nvcsw - usageBefore.ru_nvcsw) / wall,
              static_cast<double>(usageAfter.ru_nivcsw - usageBefore.ru_nivcsw) / wall);
  std::printf("load average after: %s\n", loadAfter.c_str());
  if (good == n) {
    const double ratio = bytes / lastArrival / goal;
    std::printf(
        "goals: rate %.4f %s 0.98 (to the job end: %.4f); host CPU %.3f %% %s 2 %% per readout\n",
        ratio, ratio >= 0.98 ? ">=" : "< (MISSED)", bytes / lastEnd / goal, Percent(host, n, wall),
        Percent(host, n, wall) < 2.0 ? "<" : ">= (MISSED)");
  }
  return good == n ? 0 : 1;
}

}  // namespace
}  // namespace quillon

int main(int argc, char** argv) {
  quillon::Options options;
  if (!quillon::ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: multi_bench [--readouts N] [--image bootloader|software|<KB>k] "
                 "[--no-line-model]\n");
    return 2;
  }
  return quillon::Run(options);
}
