// The readout's answers are whatever arrives on the line: a byte stream of
// frames into the packet link and the four transfers, with timer ticks in
// between, starting from every kind of transfer (or none). Nothing may
// crash, and a receive reported whole holds what the readout announced.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>

#include "core/log/event_log.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "core/serial/serial_port.h"
#include "core/transfer/transfer_control.h"
#include "platform/host_os.h"
// The tests' port in memory; a header alone, so the fuzzer links nothing more.
#include "../tests/support/memory_device.h"

namespace {

using namespace quillon;

// Host and observer in one: a fake clock, posted packets kept for the loop,
// and the last job end.
struct Rig : Host, EngineObserver {
  uint32_t tick = 1000;
  std::deque<UiMessage> posted;
  bool ended = false;
  JobEnd end;
  uint32_t TickCount() override { return tick; }
  void Sleep(uint32_t ms) override { tick += ms; }
  void Post(UiMessage message) override { posted.push_back(std::move(message)); }
  std::string SystemErrorText(int) override { return {}; }
  std::FILE* CreateNewFile(const std::string& path) override {
    return platform::CreateNewFile(path);
  }
  long ProcessId() override { return platform::CurrentProcessId(); }
  bool ProcessRunning(long pid) override { return platform::ProcessRunning(pid); }
  void OnLogLine(const std::string&) override {}
  void OnProgress(const ProgressEvent&) override {}
  void OnPortWaitFailed() override {}
  void OnJobEnd(const JobEnd& e) override { ended = true, end = e; }
  void OnFlashEraseResult(const std::string&) override {}
  void OnPacket(uint16_t) override {}
  void OnPortLost() override {}
};

// The user's files, made once: a settings file, a listing and a table;
// removed when the fuzzer ends.
struct Files {
  std::string dir;
  Files() {
    dir = (std::filesystem::temp_directory_path() / ("transfer-fuzz-" + std::to_string(::getpid())))
              .string();
    std::filesystem::create_directories(dir);
    Write("in.bin", std::string(300, 'S'));
    Write("listing.txt", "0x41, 0x42,\r\n0x43\r\n");
    Write("table.txt", "1.0 0.5\r\n" + std::string(600, '7') + "\r\n");
  }
  ~Files() {
    std::error_code error;
    std::filesystem::remove_all(dir, error);
  }
  void Write(const char* name, const std::string& text) const {
    std::FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
};

const std::string& Dir() {
  static const Files files;
  return files.dir;
}

}  // namespace

// The transfers' files (the user's, the parts, the bitmap's private
// directory) live in memory where the system offers it: on a disk the
// creating and removing of files per input was most of the time.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::filesystem::is_directory("/dev/shm")) ::setenv("TMPDIR", "/dev/shm", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string& dir = Dir();
  Rig rig;
  EventLog log(rig, rig);
  SerialLink link;
  link.Exchange(std::make_shared<test::MemoryDevice>());
  PacketLink packets(link, log, rig);
  Transfers transfers(packets, log, rig, rig);
  packets.onGiveUp = [&] { transfers.OnGiveUp(); };
  // The engine's part in between: the readout's transfer answers go to the transfers.
  struct Route : PacketHandler {
    explicit Route(Transfers& to) : target(to) {}
    void OnTransferPacket(ReceivedPacket& packet) override { target.OnTransferPacket(packet); }
    void OnFlashEraseResult(const std::string&) override {}
    Transfers& target;
  } route{transfers};
  const std::string out = dir + "/out.bin";
  switch (data[0] % 7) {
    case 0:
      transfers.StartFileSend(FILE_KIND_SETTINGS, dir + "/in.bin", "Sending");
      break;
    case 1:
      transfers.StartFileSend(FILE_KIND_BITMAP, dir + "/listing.txt", "Sending");
      break;
    case 2:
      transfers.StartFileReceive(FILE_KIND_SETTINGS, out, "", "Receiving");
      break;
    case 3:
      transfers.StartFileReceive(FILE_KIND_PROGRAM, out, "PROG1", "Receiving");
      break;
    case 4:
      transfers.StartNlecSend(dir + "/table.txt");
      break;
    case 5:
      transfers.StartNlecGet(out);
      break;
    default:
      break;  // answers with nothing running
  }
  // The stream in blocks of up to 64 bytes; after each, the posted packets
  // are dispatched and the clock moves on by the block's first byte (x 8 ms),
  // so answers come in time, late, or never.
  for (size_t at = 1; at < size; at += 64) {
    const size_t count = std::min<size_t>(64, size - at);
    RS232_ReceiveBytes(packets, data + at, count);
    while (!rig.posted.empty()) {
      UiMessage message = std::move(rig.posted.front());
      rig.posted.pop_front();
      if (message.packet) RS232_DispatchPacket(packets, *message.packet, route);
    }
    rig.tick += 8u * data[at];
    CheckAnswerTimeouts(packets);
  }
  if (rig.ended && rig.end.outcome == Outcome::DONE && (rig.end.job == Job::FILE_RECEIVE)) {
    std::error_code error;
    const uintmax_t written = std::filesystem::file_size(out, error);
    if (rig.end.bytes != rig.end.expected || error || written != rig.end.bytes) {
      std::fprintf(stderr, "receive done: %llu of %llu bytes, %s holds %llu (%s)\n",
                   static_cast<unsigned long long>(rig.end.bytes),
                   static_cast<unsigned long long>(rig.end.expected), out.c_str(),
                   static_cast<unsigned long long>(written), error.message().c_str());
      std::abort();
    }
  }
  transfers.Stop();
  std::filesystem::remove(out);
  return 0;
}
