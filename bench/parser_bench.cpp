// Receive parser throughput: blocks of up to 511 bytes, as the receive
// thread reads them, carrying packets of typical sizes, through the packet
// link's receive path (the lock, the link state, posting each packet to the
// command line's host); and the framing state machine alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "bench_support.h"
#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"

namespace {

using namespace quillon;

// A stream of packets of one data size, long enough to cycle through.
std::vector<uint8_t> Stream(size_t dataSize) {
  std::vector<uint8_t> data(dataSize);
  for (size_t i = 0; i < dataSize; ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
  std::vector<uint8_t> stream;
  for (uint16_t id = 1; stream.size() < 256 * 1024; ++id) {
    auto frame = EncodeFrame(RS232_FILE_GET_DATA, id, data.data(), static_cast<uint16_t>(dataSize));
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  return stream;
}

void BM_ReceiveBytes(benchmark::State& state) {
  const size_t dataSize = static_cast<size_t>(state.range(0));
  const auto stream = Stream(dataSize);
  cli::QueueHost host;
  bench::Observer observer;
  EventLog log(host, observer);
  SerialLink link;
  PacketLink packets(link, log, host);
  size_t at = 0;
  int64_t bytes = 0;
  int64_t posted = 0;
  for (auto _ : state) {
    size_t n = std::min<size_t>(RX_BLOCK_SIZE, stream.size() - at);
    RS232_ReceiveBytes(packets, stream.data() + at, n);
    at += n;
    bytes += static_cast<int64_t>(n);
    if (at == stream.size()) {
      // The posted packets are the handler thread's to take and release;
      // that is left out of the timing so the queue does not grow for ever.
      state.PauseTiming();
      while (auto message = host.Wait(bench::Clock::now())) ++posted;
      at = 0;
      state.ResumeTiming();
    }
  }
  while (auto message = host.Wait(bench::Clock::now())) ++posted;
  state.SetBytesProcessed(bytes);
  state.counters["packets_per_s"] =
      benchmark::Counter(static_cast<double>(posted), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReceiveBytes)->Arg(0)->Arg(1)->Arg(128)->Arg(512);

// The framing state machine alone, without the link state or posting.
void BM_FrameParserFeed(benchmark::State& state) {
  const auto stream = Stream(static_cast<size_t>(state.range(0)));
  FrameParser parser;
  int64_t bytes = 0;
  for (auto _ : state) {
    for (uint8_t b : stream) benchmark::DoNotOptimize(parser.Feed(b));
    bytes += static_cast<int64_t>(stream.size());
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_FrameParserFeed)->Arg(1)->Arg(128)->Arg(512);

}  // namespace

BENCHMARK_MAIN();
