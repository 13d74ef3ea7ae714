// The POSIX backend on a pseudo-terminal pair: the test holds the master
// side (the "readout"), the backend opens the slave by its path.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <future>
#include <utility>

// A pty's transmit queue is always empty; for the tty named here TIOCOUTQ
// reports 4096 bytes, as a USB-serial driver's full queue would.
static std::atomic<dev_t> g_stuckTty{0};

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  static auto real = reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  int rc = real(fd, request, arg);
  struct stat st {};
  bool stuck = rc == 0 && request == TIOCOUTQ && g_stuckTty != 0 && ::fstat(fd, &st) == 0;
  if (stuck && st.st_rdev == g_stuckTty) *static_cast<int*>(arg) = 4096;
  return rc;
}

#include "platform/posix/posix_serial.h"

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
    g_stuckTty = 0;
  }
  void StuckQueue() const {
    struct stat st {};
    ASSERT_EQ(::fstat(slave, &st), 0);
    g_stuckTty = st.st_rdev;
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
  EXPECT_TRUE(!device.Open(pty.path, LineSettings{12345, 8, 1, 0, 0}, &error) && error == EINVAL);
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
  t = posix::BuildTermios(t, LineSettings{115200, 8, 0, 1, 0});
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
  EXPECT_TRUE(device.Drain(1000, &error)) << error;
  pty.StuckQueue();  // 4096 bytes take 391 ms at 115200 baud
  EXPECT_TRUE(!device.Drain(20, &error) && error == ETIMEDOUT) << error;

  EXPECT_EQ(device.WaitForData(0, &error), WaitResult::TIMEOUT);
  auto in = Pattern(100);
  pty.Send(in);
  ASSERT_EQ(device.WaitForData(5000, &error), WaitResult::DATA);
  std::vector<uint8_t> got;
  for (int round = 0; got.size() < in.size() && round < 50; ++round) {
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

// A close, or a hang-up of the far end (the old code reported data there,
// for ever), ends blocked calls at once; later calls fail without blocking.
TEST(PosixSerial, ACloseOrAHangUpEndsBlockedCallsAndEveryLaterCall) {
  for (bool hangUp : {false, true}) {
    SCOPED_TRACE(hangUp ? "hang-up" : "close");
    Pty pty;
    PosixSerialDevice device;
    int error = 0;
    ASSERT_TRUE(device.Open(pty.path, LineSettings{}, &error));
    auto waiter = std::async(std::launch::async, [&] { return device.WaitForData(-1, nullptr); });
    pty.StuckQueue();
    int drainError = 0;
    auto drainer = std::async(std::launch::async, [&] { return device.Drain(-1, &drainError); });
    // Nobody reads the master, so a large write fills the queue and waits.
    std::vector<uint8_t> big(4 << 20, 0x55);
    int writeError = 0;
    auto writer = std::async(std::launch::async,
                             [&] { return device.Write(big.data(), big.size(), &writeError); });
    ASSERT_FALSE(pty.Receive(1).empty());  // the write is under way
    EXPECT_EQ(hangUp ? ::close(std::exchange(pty.master, -1)) : device.Close(), 0);
    ASSERT_EQ(waiter.wait_for(seconds(1)), std::future_status::ready);
    ASSERT_EQ(drainer.wait_for(seconds(1)), std::future_status::ready);
    ASSERT_EQ(writer.wait_for(seconds(1)), std::future_status::ready);
    // A close: cancelled when the wait was already blocked, failed when it only began after.
    WaitResult ended = waiter.get();
    EXPECT_TRUE(hangUp ? ended == WaitResult::GONE
                       : ended == WaitResult::CANCELLED || ended == WaitResult::FAILED);
    EXPECT_FALSE(drainer.get());
    EXPECT_LT(writer.get(), big.size());
    const int cause = hangUp ? EIO : ECANCELED;
    EXPECT_TRUE(drainError == cause || (!hangUp && drainError == EBADF)) << drainError;
    EXPECT_EQ(writeError, cause);
    // Every later call fails at once, an unbounded wait included.
    // The first call that did not fail as it should, by name; empty when all did.
    auto late = std::async(std::launch::async, [&]() -> std::string {
      uint8_t buffer[4] = {};
      bool cts = false;
      const WaitResult dead = hangUp ? WaitResult::GONE : WaitResult::FAILED;
      if (device.WaitForData(-1, &error) != dead) return "WaitForData(error)";
      if (device.WaitForData(-1, nullptr) != dead) return "WaitForData";
      if (device.Read(buffer, 4) != 0) return "Read";
      if (device.Write(buffer, 4, &error) != 0) return "Write";
      if (error != (hangUp ? EIO : EBADF)) return "Write's error " + std::to_string(error);
      if (device.Drain(-1, nullptr)) return "Drain";
      if (device.BytesWaiting() != 0) return "BytesWaiting";
      if (device.GetCts(&cts)) return "GetCts";
      return "";
    });
    ASSERT_EQ(late.wait_for(seconds(1)), std::future_status::ready);
    EXPECT_EQ(late.get(), "");
    EXPECT_EQ(device.Close(), 0);
  }
}

}  // namespace
}  // namespace quillon
