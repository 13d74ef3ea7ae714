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
  ASSERT_TRUE(device.Open(pty.path, LineSettings{}));
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
  EXPECT_EQ(device.SetBaudRate(12345).code, EINVAL);

  // The port is ours alone until closed; failures carry the system's error.
  PosixSerialDevice second;
  EXPECT_EQ(second.Open(pty.path, LineSettings{}).code, EBUSY);
  EXPECT_TRUE(device.Close());
  EXPECT_FALSE(device.IsOpen());
  EXPECT_TRUE(second.Open(pty.path, LineSettings{}));
  second.Close();
  EXPECT_EQ(device.Open(pty.path, LineSettings{12345, 8, 1, 0, 0}).code, EINVAL);
  SerialResult missing = device.Open("/dev/quillon-no-such-port", LineSettings{});
  EXPECT_TRUE(missing.status == SerialStatus::FAILED && missing.code == ENOENT);
  EXPECT_EQ(PosixSerialFactory().PortName(3), "COM3");
  EXPECT_FALSE(device.Open("COM3", LineSettings{}));
  EXPECT_FALSE(device.Open("/dev/null", LineSettings{}));  // not a tty
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
  ASSERT_TRUE(device.Open(pty.path, LineSettings{}));

  auto out = Pattern(3000);
  SerialResult wrote = device.Write(out.data(), out.size());
  EXPECT_TRUE(wrote && wrote.count == out.size());
  EXPECT_EQ(pty.Receive(out.size()), out);
  EXPECT_TRUE(device.Drain(1000));
  pty.StuckQueue();  // 4096 bytes take 391 ms at 115200 baud
  SerialResult drained = device.Drain(20);
  EXPECT_TRUE(drained.status == SerialStatus::TIMEOUT && drained.code == ETIMEDOUT) << drained.code;

  EXPECT_EQ(device.WaitForData(0).status, SerialStatus::TIMEOUT);
  auto in = Pattern(100);
  pty.Send(in);
  ASSERT_TRUE(device.WaitForData(5000));
  std::vector<uint8_t> got;
  for (int round = 0; got.size() < in.size() && round < 50; ++round) {
    uint8_t buffer[64];
    size_t n = device.Read(buffer, std::min(sizeof buffer, device.BytesWaiting().count)).count;
    got.insert(got.end(), buffer, buffer + n);
    if (n == 0) device.WaitForData(100);
  }
  EXPECT_EQ(got, in);

  // A cancel ends a wait with no bound, and is used up by it.
  auto waiter = std::async(std::launch::async, [&] { return device.WaitForData(-1).status; });
  device.CancelWait();
  ASSERT_EQ(waiter.wait_for(seconds(5)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), SerialStatus::CANCELLED);
  EXPECT_EQ(device.WaitForData(0).status, SerialStatus::TIMEOUT);
}

// A close, or a hang-up of the far end (the old code reported data there,
// for ever), ends blocked calls at once; later calls fail without blocking.
TEST(PosixSerial, ACloseOrAHangUpEndsBlockedCallsAndEveryLaterCall) {
  for (bool hangUp : {false, true}) {
    SCOPED_TRACE(hangUp ? "hang-up" : "close");
    Pty pty;
    PosixSerialDevice device;
    ASSERT_TRUE(device.Open(pty.path, LineSettings{}));
    auto waiter = std::async(std::launch::async, [&] { return device.WaitForData(-1).status; });
    pty.StuckQueue();
    auto drainer = std::async(std::launch::async, [&] { return device.Drain(-1); });
    // Nobody reads the master, so a large write fills the queue and waits.
    std::vector<uint8_t> big(4 << 20, 0x55);
    auto writer =
        std::async(std::launch::async, [&] { return device.Write(big.data(), big.size()); });
    ASSERT_FALSE(pty.Receive(1).empty());  // the write is under way
    EXPECT_EQ(hangUp ? ::close(std::exchange(pty.master, -1)) : device.Close().code, 0);
    ASSERT_EQ(waiter.wait_for(seconds(1)), std::future_status::ready);
    ASSERT_EQ(drainer.wait_for(seconds(1)), std::future_status::ready);
    ASSERT_EQ(writer.wait_for(seconds(1)), std::future_status::ready);
    // A close: cancelled when the wait was already blocked, failed when it only began after.
    SerialStatus ended = waiter.get();
    EXPECT_TRUE(hangUp ? ended == SerialStatus::GONE
                       : ended == SerialStatus::CANCELLED || ended == SerialStatus::FAILED);
    const SerialResult drained = drainer.get(), wrote = writer.get();
    const SerialStatus cause = hangUp ? SerialStatus::GONE : SerialStatus::CANCELLED;
    EXPECT_TRUE(drained.status == cause || (!hangUp && drained.code == EBADF)) << drained.code;
    EXPECT_TRUE(wrote.status == cause && wrote.code == (hangUp ? EIO : ECANCELED)) << wrote.code;
    EXPECT_LT(wrote.count, big.size());
    // Every later call fails at once, an unbounded wait included.
    // The first call that did not fail as it should, by name; empty when all did.
    auto late = std::async(std::launch::async, [&]() -> std::string {
      uint8_t buffer[4] = {};
      bool cts = false;
      const SerialStatus dead = hangUp ? SerialStatus::GONE : SerialStatus::FAILED;
      if (device.WaitForData(-1).status != dead) return "WaitForData";
      if (device.Read(buffer, 4).status != dead) return "Read";
      SerialResult lateWrite = device.Write(buffer, 4);
      if (lateWrite.status != dead || lateWrite.count != 0) return "Write";
      if (lateWrite.code != (hangUp ? EIO : EBADF)) return "Write's code";
      if (device.Drain(-1).status != dead) return "Drain";
      if (device.BytesWaiting().status != dead) return "BytesWaiting";
      if (device.GetCts(&cts).status != dead) return "GetCts";
      if (device.SetBaudRate(9600).status != dead) return "SetBaudRate";
      return "";
    });
    ASSERT_EQ(late.wait_for(seconds(1)), std::future_status::ready);
    EXPECT_EQ(late.get(), "");
    EXPECT_TRUE(device.Close());
  }
}

}  // namespace
}  // namespace quillon
