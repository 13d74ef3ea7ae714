// The POSIX backend on a pseudo-terminal pair: the test holds the master
// side (the "readout"), the backend opens the slave by its path.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <mutex>
#include <condition_variable>

#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "platform/posix/posix_serial.h"
#include "support/fakes.h"

namespace quillon {
namespace {

using posix::PosixSerialDevice;
using posix::PosixSerialFactory;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Pty {
  int master = -1;
  int slave = -1;  // kept open so the tty outlives the backend's descriptor
  std::string path;
  Pty() {
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() {
    ::close(master);
    ::close(slave);
  }
  termios SlaveTermios() const {
    termios t{};
    ::tcgetattr(slave, &t);
    return t;
  }
  // What the tests send fits the pty's queue: one write takes it all.
  void Send(const std::vector<uint8_t>& bytes) const {
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until count bytes have come or the deadline passes.
  std::vector<uint8_t> Receive(size_t count, int ms = 5000) const {
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + milliseconds(ms);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      uint8_t buffer[4096];
      ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
};

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>((i * 31 + 7) & 0xFF);
  return bytes;
}

TEST(PosixSerial, OpenSetsTheReadoutLineRawAndWithoutFlowControl) {
  Pty pty;
  ASSERT_FALSE(pty.path.empty());
  PosixSerialDevice device;
  int error = 0;
  ASSERT_TRUE(device.Open(pty.path, LineSettings{}, &error)) << error;
  termios t = pty.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_NE(t.c_cflag & PARODD, 0u);  // a pty keeps PARODD though it drops PARENB
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);

  ASSERT_TRUE(device.SetBaudRate(38400));
  t = pty.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
  EXPECT_FALSE(device.SetBaudRate(12345));

  // The port is ours alone until closed; failures carry the system's error.
  PosixSerialDevice second;
  EXPECT_FALSE(second.Open(pty.path, LineSettings{}, &error));
  EXPECT_EQ(error, EBUSY);
  EXPECT_EQ(device.Close(), 0);
  EXPECT_FALSE(device.IsOpen());
  EXPECT_TRUE(second.Open(pty.path, LineSettings{}, &error)) << error;
  second.Close();
  LineSettings odd;
  odd.baudRate = 12345;
  EXPECT_FALSE(device.Open(pty.path, odd, &error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(device.Open("/dev/quillon-no-such-port", LineSettings{}, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(PosixSerialFactory().PortName(3), "COM3");
  EXPECT_FALSE(device.Open("COM3", LineSettings{}, &error));
  EXPECT_FALSE(device.Open("/dev/null", LineSettings{}, &error));  // not a tty
  EXPECT_FALSE(device.IsOpen());
}

TEST(PosixSerial, BuildTermiosAsksForParityStopBitsAndFlowAsGiven) {
  termios start{};
  termios t = posix::BuildTermios(start, LineSettings{});
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
  EXPECT_NE(t.c_iflag & INPCK, 0u);
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

  LineSettings even{38400, 7, 2, 2, FLOW_CTS_RTS | FLOW_XON_XOFF};
  t = posix::BuildTermios(start, even);
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS7));
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B38400));

  // Flags of a previous user are cleared, not kept.
  LineSettings none{115200, 8, 0, 1, 0};
  t = posix::BuildTermios(t, none);
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), 0u);
}

TEST(PosixSerial, BytesTravelBothWaysAndWaitsEndOnDataCancelAndBound) {
  Pty pty;
  PosixSerialDevice device;
  int error = 0;
  ASSERT_TRUE(device.Open(pty.path, LineSettings{}, &error));

  auto out = Pattern(3000);
  EXPECT_EQ(device.Write(out.data(), out.size(), &error), out.size());
  EXPECT_EQ(pty.Receive(out.size()), out);

  EXPECT_EQ(device.WaitForData(0, &error), WaitResult::TIMEOUT);
  auto in = Pattern(100);
  pty.Send(in);
  ASSERT_EQ(device.WaitForData(5000, &error), WaitResult::DATA);
  std::vector<uint8_t> got;
  auto deadline = std::chrono::steady_clock::now() + seconds(5);
  while (got.size() < in.size() && std::chrono::steady_clock::now() < deadline) {
    uint8_t buffer[64];
    size_t n = device.Read(buffer, std::min(sizeof buffer, device.BytesWaiting()));
    got.insert(got.end(), buffer, buffer + n);
    if (n == 0) device.WaitForData(100, &error);
  }
  EXPECT_EQ(got, in);

  // A cancel ends a wait with no bound, and is used up by it.
  auto waiter = std::async(std::launch::async, [&] { return device.WaitForData(-1, nullptr); });
  device.CancelWait();
  ASSERT_EQ(waiter.wait_for(seconds(5)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), WaitResult::CANCELLED);
  EXPECT_EQ(device.WaitForData(0, &error), WaitResult::TIMEOUT);
}

TEST(PosixSerial, CloseEndsABlockedWaitAndABlockedWriteAtOnce) {
  Pty pty;
  PosixSerialDevice device;
  int error = 0;
  ASSERT_TRUE(device.Open(pty.path, LineSettings{}, &error));
  auto waiter = std::async(std::launch::async, [&] { return device.WaitForData(-1, nullptr); });
  // Nobody reads the master, so a large write fills the queue and waits.
  std::vector<uint8_t> big(4 << 20, 0x55);
  int writeError = 0;
  auto writer = std::async(std::launch::async,
                           [&] { return device.Write(big.data(), big.size(), &writeError); });
  // Let both block (the write's first bytes reach the master) before closing.
  ASSERT_FALSE(pty.Receive(1).empty());
  EXPECT_EQ(device.Close(), 0);
  ASSERT_EQ(waiter.wait_for(seconds(1)), std::future_status::ready);
  ASSERT_EQ(writer.wait_for(seconds(1)), std::future_status::ready);
  // Cancelled when it was already blocked, failed when it only began after.
  WaitResult ended = waiter.get();
  EXPECT_TRUE(ended == WaitResult::CANCELLED || ended == WaitResult::FAILED);
  EXPECT_LT(writer.get(), big.size());
  EXPECT_EQ(writeError, ECANCELED);
  // Everything after the close fails without touching a descriptor.
  uint8_t buffer[4];
  bool cts = false;
  EXPECT_EQ(device.WaitForData(0, &error), WaitResult::FAILED);
  EXPECT_EQ(device.Read(buffer, 4), 0u);
  EXPECT_EQ(device.Write(buffer, 4, &error), 0u);
  EXPECT_EQ(device.BytesWaiting(), 0u);
  EXPECT_FALSE(device.GetCts(&cts));
  EXPECT_EQ(device.Close(), 0);
}

// The receive thread of the core, with this backend under it: bytes arrive
// in order, and closing the port alone ends the thread's wait.
TEST(PosixReceiveThread, DeliversBytesInOrderAndACloseEndsItsWait) {
  Pty pty;
  test::FakeHost host;
  PosixSerialFactory factory;
  App app(host, factory);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint8_t> received;
  app.receiver.parserHook = [&](const uint8_t* data, size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    received.insert(received.end(), data, data + count);
    changed.notify_all();
  };
  StartReceiveThread(app);
  OpenDevicePath(app, pty.path);
  auto port = app.link.Port();
  ASSERT_TRUE(port) << (host.LogLines().empty() ? "" : host.LogLines().back());
  auto bytes = Pattern(600);
  pty.Send(bytes);
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, seconds(5), [&] { return received.size() >= 600; }));
    EXPECT_EQ(received, bytes);
  }
  // Taken off the link as CloseDevice does, but closed with no cancel first:
  // the close alone must end the wait, or it could not take the descriptor.
  app.link.Exchange(nullptr);
  auto closer = std::async(std::launch::async, [&] { return port->Close(); });
  ASSERT_EQ(closer.wait_for(seconds(1)), std::future_status::ready);
  EXPECT_EQ(closer.get(), 0);
  auto stopper = std::async(std::launch::async, [&] { StopReceiveThread(app); });
  ASSERT_EQ(stopper.wait_for(seconds(1)), std::future_status::ready);
  EXPECT_FALSE(app.receiver.thread.joinable());
  EXPECT_EQ(host.Beeps(), 0);
}

}  // namespace
}  // namespace quillon
