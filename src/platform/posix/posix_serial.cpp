// The serial port on POSIX systems: termios, poll with wake pipes, hang-up as GONE.
#include "platform/posix/posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>

namespace quillon::posix {

namespace {

// A write that cannot hand over a single byte for this long gives up.
constexpr int WRITE_STALL_MS = 5000;
// How long a wait looks away from a line that said "readable" with nothing
// to read (another reader was quicker), so that it cannot spin.
constexpr int EMPTY_READABLE_PAUSE_MS = 10;

bool SpeedFor(uint32_t baud, speed_t* speed) {
  switch (baud) {
    case 1200: *speed = B1200; return true;
    case 2400: *speed = B2400; return true;
    case 4800: *speed = B4800; return true;
    case 9600: *speed = B9600; return true;
    case 19200: *speed = B19200; return true;
    case 38400: *speed = B38400; return true;
    case 57600: *speed = B57600; return true;
    case 115200: *speed = B115200; return true;
    case 230400: *speed = B230400; return true;
#ifdef B460800
    case 460800: *speed = B460800; return true;
#endif
#ifdef B921600
    case 921600: *speed = B921600; return true;
#endif
    default: return false;
  }
}

// A non-blocking, close-on-exec pipe; false (errno set) when none can be made.
bool MakePipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK);
    ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
  }
  return true;
}

void ClosePipe(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) ::close(fds[i]);
    fds[i] = -1;
  }
}

void Poke(int fd) {
  if (fd < 0) return;
  const char byte = 1;
  ssize_t rc;
  do {
    rc = ::write(fd, &byte, 1);
  } while (rc < 0 && errno == EINTR);
  // A full pipe already holds a wake-up; nothing is lost.
}

void DrainPipe(int fd) {
  char buffer[64];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

// Errors with which a tty tells that its device went away (hang-up, unplug).
bool IsGoneError(int code) { return code == EIO || code == ENXIO || code == ENODEV || code == EPIPE; }

// The status a failure with code stands for.
SerialStatus StatusOf(int code) {
  if (code == ETIMEDOUT) return SerialStatus::TIMEOUT;
  if (code == ECANCELED) return SerialStatus::CANCELLED;
  return IsGoneError(code) ? SerialStatus::GONE : SerialStatus::FAILED;
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

termios BuildTermios(const termios& current, const LineSettings& settings) {
  termios t = current;
  ::cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD;
  switch (settings.byteSize) {
    case 5: t.c_cflag |= CS5; break;
    case 6: t.c_cflag |= CS6; break;
    case 7: t.c_cflag |= CS7; break;
    default: t.c_cflag |= CS8; break;
  }
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
  if (settings.parity == 1 || settings.parity == 2) {
    t.c_cflag |= PARENB;
    if (settings.parity == 1) t.c_cflag |= PARODD;
    t.c_iflag |= INPCK;
  }
  if (settings.stopBits == 2) t.c_cflag |= CSTOPB;
  if (settings.flow & FLOW_CTS_RTS) t.c_cflag |= CRTSCTS;
  if (settings.flow & FLOW_XON_XOFF) {
    t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
  }
  // Reads return what is there; the waiting is done with poll.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  speed_t speed;
  if (SpeedFor(settings.baudRate, &speed)) {
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
  }
  return t;
}

// The descriptor is read under a shared lock by every operation and replaced
// only under the exclusive one, so no call can reach a descriptor that has
// been closed (and perhaps reused for another file). A wait blocks in poll
// while holding the shared lock; Close first pokes the close pipe, which
// ends every such wait, and only then takes the exclusive lock.
//
// A device that went away stays gone: every later call fails at once
// with the error that showed it, so nothing blocks or spins on a dead line.
struct PosixSerialDevice::Impl {
  mutable std::shared_mutex mutex;
  int fd = -1;
  int cancelPipe[2] = {-1, -1};  // CancelWait: ends one wait, drained by it
  int closePipe[2] = {-1, -1};   // Close: ends every wait, write and drain, never drained
  std::atomic<bool> closing{false};
  std::atomic<int> goneError{0};  // 0 while the device is there
  std::atomic<uint32_t> baud{0};

  // 0 when the descriptor may be used, otherwise the error that says why
  // not. The caller holds the lock.
  int Unusable() const { return fd < 0 || closing.load() ? EBADF : goneError.load(); }
  // Remembers the device as gone when code says it went away.
  void RememberIfGone(int code) {
    int none = 0;
    if (IsGoneError(code)) goneError.compare_exchange_strong(none, code);
  }
  // The result of a failure with code, count bytes having gone through.
  SerialResult Failed(int code, size_t count = 0) {
    RememberIfGone(code);
    return {StatusOf(code), code, count};
  }
};

PosixSerialDevice::PosixSerialDevice() : impl_(std::make_unique<Impl>()) {}

PosixSerialDevice::~PosixSerialDevice() { Close(); }

SerialResult PosixSerialDevice::Open(const std::string& name, const LineSettings& settings) {
  auto fail = [](int code, int fd) {
    if (fd >= 0) ::close(fd);
    return SerialResult{StatusOf(code), code};
  };
  std::unique_lock<std::shared_mutex> lock(impl_->mutex);
  if (impl_->fd >= 0) return fail(EBUSY, -1);
  speed_t speed;
  if (!SpeedFor(settings.baudRate, &speed)) return fail(EINVAL, -1);

  int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(errno, -1);
  // Exclusive use: TIOCEXCL keeps other openers out (except privileged
  // ones), the lock keeps out every cooperating program, root included.
  if (::ioctl(fd, TIOCEXCL) != 0) return fail(errno, fd);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno, fd);

  termios current{};
  if (::tcgetattr(fd, &current) != 0) return fail(errno, fd);
  termios wanted = BuildTermios(current, settings);
  if (::tcsetattr(fd, TCSANOW, &wanted) != 0) {
    // The C library reports a parity bit the driver dropped as EINVAL,
    // though the rest was applied. A pseudo-terminal has no parity; accept
    // that as long as speed and character size are what was asked.
    int code = errno;
    termios applied{};
    if (code != EINVAL || ::tcgetattr(fd, &applied) != 0 ||
        ::cfgetospeed(&applied) != speed || (applied.c_cflag & CSIZE) != (wanted.c_cflag & CSIZE)) {
      return fail(code, fd);
    }
  }

  // DTR on, and RTS unless the kernel drives it for the handshake. A
  // pseudo-terminal has no modem lines; that is no reason to fail.
  int lines = TIOCM_DTR;
  if (!(settings.flow & FLOW_CTS_RTS)) lines |= TIOCM_RTS;
  (void)::ioctl(fd, TIOCMBIS, &lines);
  ::tcflush(fd, TCIOFLUSH);

  if (!MakePipe(impl_->cancelPipe)) return fail(errno, fd);
  if (!MakePipe(impl_->closePipe)) {
    int code = errno;
    ClosePipe(impl_->cancelPipe);
    return fail(code, fd);
  }
  impl_->fd = fd;
  impl_->closing.store(false);
  impl_->goneError.store(0);
  impl_->baud.store(settings.baudRate);
  return {};
}

bool PosixSerialDevice::IsOpen() const {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  return impl_->fd >= 0 && !impl_->closing.load();
}

void PosixSerialDevice::CancelWait() {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  Poke(impl_->cancelPipe[1]);
}

SerialResult PosixSerialDevice::Close() {
  {
    std::shared_lock<std::shared_mutex> lock(impl_->mutex);
    if (impl_->fd < 0) return {};
    impl_->closing.store(true);
    Poke(impl_->closePipe[1]);
  }
  std::unique_lock<std::shared_mutex> lock(impl_->mutex);
  if (impl_->fd < 0) return {};  // another Close got here first
  // The exclusive flag belongs to the tty, which may outlive this descriptor.
  (void)::ioctl(impl_->fd, TIOCNXCL);
  int code = ::close(impl_->fd) == 0 ? 0 : errno;
  impl_->fd = -1;
  ClosePipe(impl_->cancelPipe);
  ClosePipe(impl_->closePipe);
  return code == 0 ? SerialResult{} : SerialResult{StatusOf(code), code};
}

SerialResult PosixSerialDevice::SetBaudRate(uint32_t baud) {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  if (int code = impl_->Unusable()) return impl_->Failed(code);
  speed_t speed;
  if (!SpeedFor(baud, &speed)) return impl_->Failed(EINVAL);
  termios t{};
  if (::tcgetattr(impl_->fd, &t) != 0) return impl_->Failed(errno);
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);
  if (::tcsetattr(impl_->fd, TCSANOW, &t) != 0) return impl_->Failed(errno);
  impl_->baud.store(baud);
  return {};
}

// tcdrain alone has no bound and no cancel, and returns at once on a
// pseudo-terminal, while a USB-serial driver may hold kilobytes. So: sleep
// on the close pipe while the transmit queue empties, each time for about
// what the queued bytes take at the line rate, then let tcdrain wait for the
// last character only.
SerialResult PosixSerialDevice::Drain(int timeoutMs) {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  if (int code = impl_->Unusable()) return impl_->Failed(code);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int queued = 0;
    if (::ioctl(impl_->fd, TIOCOUTQ, &queued) != 0) return impl_->Failed(errno);
    if (queued <= 0) break;
    // 11 bit times a byte: start, 8 data, parity, stop.
    long long ms = std::max(1LL, queued * 11LL * 1000 / std::max<uint32_t>(impl_->baud.load(), 1));
    if (timeoutMs >= 0) {
      int left = RemainingMs(deadline);
      if (left == 0) return impl_->Failed(ETIMEDOUT);
      ms = std::min<long long>(ms, left);
    }
    // The line is watched for nothing but a hang-up, which poll always reports.
    pollfd fds[2] = {{impl_->closePipe[0], POLLIN, 0}, {impl_->fd, 0, 0}};
    int rc = ::poll(fds, 2, static_cast<int>(std::min<long long>(ms, INT_MAX)));
    if (rc < 0 && errno != EINTR) return impl_->Failed(errno);
    if (rc > 0 && fds[0].revents != 0) return impl_->Failed(ECANCELED);
    if (rc > 0) return impl_->Failed(EIO);
  }
  while (::tcdrain(impl_->fd) != 0) {
    if (errno != EINTR) return impl_->Failed(errno);
  }
  return {};
}

SerialResult PosixSerialDevice::BytesWaiting() {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  if (int code = impl_->Unusable()) return impl_->Failed(code);
  int count = 0;
  if (::ioctl(impl_->fd, FIONREAD, &count) != 0) return impl_->Failed(errno);
  return {SerialStatus::OK, 0, count > 0 ? static_cast<size_t>(count) : 0};
}

SerialResult PosixSerialDevice::Read(uint8_t* buffer, size_t max) {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  if (int code = impl_->Unusable()) return impl_->Failed(code);
  if (max == 0) return {};
  ssize_t got;
  do {
    got = ::read(impl_->fd, buffer, max);
  } while (got < 0 && errno == EINTR);
  if (got > 0) return {SerialStatus::OK, 0, static_cast<size_t>(got)};
  if (got < 0) return errno == EAGAIN ? SerialResult{} : impl_->Failed(errno);
  // With VMIN and VTIME 0 an empty queue reads 0 as a hung-up line does;
  // poll tells them apart.
  pollfd line{impl_->fd, POLLIN, 0};
  const bool hungUp = ::poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL));
  return hungUp ? impl_->Failed(EIO) : SerialResult{};
}

SerialResult PosixSerialDevice::Write(const uint8_t* data, size_t length) {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  if (int code = impl_->Unusable()) return impl_->Failed(code);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::write(impl_->fd, data + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return impl_->Failed(errno, done);
    // The output queue is full: wait for room, for a close, or for the bound.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WRITE_STALL_MS);
    for (;;) {
      pollfd fds[2] = {{impl_->fd, POLLOUT, 0}, {impl_->closePipe[0], POLLIN, 0}};
      int rc = ::poll(fds, 2, RemainingMs(deadline));
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) return impl_->Failed(errno, done);
      if (rc == 0) return impl_->Failed(ETIMEDOUT, done);
      if (fds[1].revents != 0) return impl_->Failed(ECANCELED, done);
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return impl_->Failed(EIO, done);
      if (fds[0].revents & POLLOUT) break;
    }
  }
  return {SerialStatus::OK, 0, done};
}

// A hang-up (the far end of a pty closed, a USB adapter pulled) makes poll
// report POLLHUP with POLLIN while nothing can be read: it must win, or the
// caller would be told of data that never comes, again and again.
SerialResult PosixSerialDevice::WaitForData(int timeoutMs) {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  if (int code = impl_->Unusable()) return impl_->Failed(code);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool lookAway = false;  // watch only the pipes for a moment
  for (;;) {
    int bound = timeoutMs < 0 ? -1 : RemainingMs(deadline);
    if (lookAway && (bound < 0 || bound > EMPTY_READABLE_PAUSE_MS)) bound = EMPTY_READABLE_PAUSE_MS;
    pollfd fds[3] = {{lookAway ? -1 : impl_->fd, POLLIN, 0},
                     {impl_->cancelPipe[0], POLLIN, 0},
                     {impl_->closePipe[0], POLLIN, 0}};
    int rc = ::poll(fds, 3, bound);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return impl_->Failed(errno);
    if (fds[2].revents != 0) return impl_->Failed(ECANCELED);
    if (fds[1].revents != 0) {
      DrainPipe(impl_->cancelPipe[0]);
      return impl_->Failed(ECANCELED);
    }
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return impl_->Failed(EIO);
    if (fds[0].revents & POLLIN) {
      int count = 0;
      if (::ioctl(impl_->fd, FIONREAD, &count) != 0) return impl_->Failed(errno);
      if (count > 0) return {};
      lookAway = true;  // another reader took the bytes first
      continue;
    }
    if (timeoutMs >= 0 && RemainingMs(deadline) == 0) return impl_->Failed(ETIMEDOUT);
    lookAway = false;
  }
}

SerialResult PosixSerialDevice::GetCts(bool* cts) {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  if (int code = impl_->Unusable()) return impl_->Failed(code);
  int lines = 0;
  if (::ioctl(impl_->fd, TIOCMGET, &lines) != 0) return impl_->Failed(errno);
  *cts = (lines & TIOCM_CTS) != 0;
  return {};
}

SerialResult PosixSerialDevice::SetDtr(bool on) {
  std::shared_lock<std::shared_mutex> lock(impl_->mutex);
  if (int code = impl_->Unusable()) return impl_->Failed(code);
  int lines = TIOCM_DTR;
  if (::ioctl(impl_->fd, on ? TIOCMBIS : TIOCMBIC, &lines) != 0) return impl_->Failed(errno);
  return {};
}

// A tty latches no error state that blocks further I/O (unlike a Windows
// COM port after a line error), so there is nothing to clear.
SerialResult PosixSerialDevice::ClearError() { return {}; }

std::shared_ptr<SerialDevice> PosixSerialFactory::Create() {
  return std::make_shared<PosixSerialDevice>();
}

std::string PosixSerialFactory::PortName(int number) { return "COM" + std::to_string(number); }

}  // namespace quillon::posix
