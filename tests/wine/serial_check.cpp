// Checks the Win32 serial backend against a real COM port: under Wine, a
// pseudo-terminal whose far end echoes every byte (tests/wine/run.sh sets
// that up). Prints one line per check and exits 1 when any fails.
//
//   serial_check.exe <port number> [cts-off-file [stalled port number]]
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/win32_serial.h"

using quillon::LineSettings;
using quillon::WaitResult;
using quillon::win32::BuildDcb;
using quillon::win32::Win32SerialDevice;
using quillon::win32::Win32SerialFactory;

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

// Reads until count bytes have come or the deadline passes.
std::vector<uint8_t> ReadAll(Win32SerialDevice& port, size_t count, DWORD deadlineMs) {
  std::vector<uint8_t> got;
  DWORD start = GetTickCount();
  while (got.size() < count && GetTickCount() - start < deadlineMs) {
    WaitResult result = port.WaitForData(200, nullptr);
    if (result == WaitResult::FAILED || result == WaitResult::CANCELLED) break;
    uint8_t buffer[511];
    size_t n = port.Read(buffer, sizeof buffer);
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

// Runs a WaitForData on its own thread; the result can be awaited with a bound.
struct BackgroundWait {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  WaitResult result = WaitResult::FAILED;
  std::thread thread;
  explicit BackgroundWait(Win32SerialDevice& port) {
    thread = std::thread([this, &port] {
      WaitResult r = port.WaitForData(-1, nullptr);
      std::lock_guard<std::mutex> lock(mutex);
      result = r;
      finished = true;
      done.notify_all();
    });
  }
  bool Await(int ms) {
    std::unique_lock<std::mutex> lock(mutex);
    return done.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished; });
  }
  ~BackgroundWait() {
    if (thread.joinable()) thread.join();
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const int number = std::atoi(argv[1]);
  const std::string ctsOffFile = argc > 2 ? argv[2] : "";
  Win32SerialFactory factory;
  Check(factory.PortName(7) == "\\\\.\\COM7" && factory.PortName(12) == "\\\\.\\COM12",
        "port names carry the \\\\.\\ prefix");

  {
    DCB current{};
    current.fDsrSensitivity = 1;
    current.EvtChar = 'x';
    LineSettings line;
    DCB dcb = BuildDcb(current, line);
    Check(dcb.BaudRate == 115200 && dcb.ByteSize == 8 && dcb.Parity == ODDPARITY &&
              dcb.StopBits == ONESTOPBIT && dcb.fParity == 1 && dcb.fBinary == 1,
          "line settings 115200-8-odd-1 with parity checking");
    Check(dcb.fDtrControl == DTR_CONTROL_ENABLE && dcb.fRtsControl == RTS_CONTROL_ENABLE &&
              !dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow && !dcb.fOutX && !dcb.fInX,
          "no flow control: DTR and RTS held on");
    Check(dcb.fDsrSensitivity == 1 && dcb.EvtChar == 'x' && dcb.DCBlength == sizeof(DCB),
          "fields not named keep the port's values");
    line.flow = quillon::FLOW_DSR_DTR | quillon::FLOW_CTS_RTS | quillon::FLOW_XON_XOFF;
    dcb = BuildDcb(current, line);
    Check(dcb.fDtrControl == DTR_CONTROL_HANDSHAKE && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE &&
              dcb.fOutxCtsFlow && dcb.fOutxDsrFlow && dcb.fOutX && dcb.fInX &&
              dcb.XonChar == 17 && dcb.XoffChar == 19 && dcb.XonLim == 100 && dcb.XoffLim == 100,
          "each flow flag turns on its handshake");
  }

  {
    Win32SerialDevice missing;
    int error = 0;
    bool openedMissing = missing.Open(factory.PortName(99), LineSettings{}, &error);
    Check(!openedMissing && error != 0,
          "opening a missing port fails with a system error code (" + std::to_string(error) + ")");
  }

  auto port = std::make_shared<Win32SerialDevice>();
  int error = 0;
  bool opened = port->Open(factory.PortName(number), LineSettings{}, &error);
  Check(opened, "opens " + factory.PortName(number) + " (error " + std::to_string(error) + ")");
  if (!opened) return 1;
  Check(port->IsOpen(), "reports open");

  bool cts = false;
  Check(port->GetCts(&cts) && cts, "CTS reads as asserted");
  if (!ctsOffFile.empty()) {
    HANDLE marker = CreateFileA(ctsOffFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    cts = true;
    Check(port->GetCts(&cts) && !cts, "CTS reads as dropped");
    DeleteFileA(ctsOffFile.c_str());
  }
  Check(port->SetBaudRate(38400) && port->SetBaudRate(115200), "changes the baud rate");

  Check(port->WaitForData(300, nullptr) == WaitResult::TIMEOUT, "a bounded wait with nothing sent times out");

  const std::string hello = "hello, readout";
  int writeError = -1;
  size_t written = port->Write(reinterpret_cast<const uint8_t*>(hello.data()), hello.size(), &writeError);
  Check(written == hello.size() && writeError == 0, "writes a short block and waits for it");
  std::vector<uint8_t> echoed = ReadAll(*port, hello.size(), 5000);
  Check(std::string(echoed.begin(), echoed.end()) == hello, "reads the echo back");
  Check(port->BytesWaiting() == 0 && port->Read(echoed.data(), 10) == 0,
        "an empty queue reads nothing without blocking");

  {
    std::vector<uint8_t> block(100000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + i / 251);
    size_t sent = 0;
    std::vector<uint8_t> back;
    // Write and read side by side, as the pty's buffer is smaller than the block.
    std::thread reader([&] { back = ReadAll(*port, block.size(), 20000); });
    sent = port->Write(block.data(), block.size(), nullptr);
    reader.join();
    Check(sent == block.size(), "writes 100000 bytes");
    Check(back == block, "reads 100000 bytes back unchanged, in blocks of at most 511");
  }

  {
    BackgroundWait wait(*port);
    Check(!wait.Await(300), "an unbounded wait blocks while nothing arrives");
    uint8_t mark = 0x7E;
    port->Write(&mark, 1, nullptr);
    Check(wait.Await(5000) && wait.result == WaitResult::DATA, "a received byte ends the wait");
    ReadAll(*port, 1, 2000);
  }

  {
    BackgroundWait wait(*port);
    Check(!wait.Await(200), "a second wait blocks");
    port->CancelWait();
    Check(wait.Await(3000) && wait.result == WaitResult::CANCELLED, "CancelWait ends a blocked wait");
    Check(port->IsOpen(), "the port stays open after CancelWait");
  }

  {
    BackgroundWait wait(*port);
    Check(!wait.Await(200), "a third wait blocks");
    int closeError = port->Close();
    Check(closeError == 0, "Close succeeds while another thread waits");
    Check(wait.Await(3000) && wait.result == WaitResult::CANCELLED, "Close ends the blocked wait");
  }
  uint8_t buffer[16];
  int lateError = 0;
  Check(!port->IsOpen() && port->Read(buffer, sizeof buffer) == 0 &&
            port->Write(buffer, 4, &lateError) == 0 && lateError != 0 &&
            port->WaitForData(100, nullptr) == WaitResult::CANCELLED && !port->GetCts(&cts),
        "every call after Close fails without touching the handle");
  Check(port->Close() == 0, "a second Close does nothing");

  // The port can be opened again once closed.
  Win32SerialDevice again;
  Check(again.Open(factory.PortName(number), LineSettings{}, &error), "reopens after close");
  again.Close();

  if (argc > 3) {
    // A line that takes nothing: the write ends after its bound with what went out.
    Win32SerialDevice stalled;
    int stallError = 0;
    Check(stalled.Open(factory.PortName(std::atoi(argv[3])), LineSettings{}, &stallError), "opens the stalled port");
    std::vector<uint8_t> lots(1 << 20, 0x55);
    DWORD start = GetTickCount();
    size_t went = stalled.Write(lots.data(), lots.size(), &stallError);
    DWORD took = GetTickCount() - start;
    Check(went < lots.size() && stallError == ERROR_TIMEOUT && took < 20000,
          "a write the line stops taking ends with a time-out (" + std::to_string(went) + " bytes, " +
              std::to_string(took) + " ms)");
    Check(stalled.Close() == 0, "the stalled port closes");
  }

  std::printf("%d failure(s)\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
