// The simulator on a pseudo-terminal or device, paced like a real line.
#include "sim/sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <iterator>
#include <optional>
#include <vector>

namespace quillon::sim {

namespace {

using Clock = TokenBucket::Clock;

constexpr size_t READ_BLOCK = 4096;
constexpr Clock::duration IDLE_POLL = std::chrono::milliseconds(100);
constexpr Clock::duration USB_FRAME = std::chrono::milliseconds(1);
// While the host's bytes come back to back, the engine gets them at least
// this often rather than one byte time at a time.
constexpr Clock::duration RX_SLICE = std::chrono::milliseconds(1);

bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

size_t BytesWaiting(int fd) {
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<size_t>(count);
}

// One direction's pacing: a token bucket on a bare line, or a UART's exact
// timing (with USB frames on the readout's side) on a USB line.
class Pacing {
 public:
  Pacing(const LineOptions& line, Clock::time_point start, bool toHost)
      : uart_(line.kind == LineKind::USB),
        slice_(!toHost),
        bucket_(line.baud, start),
        timer_(line.baud, start, toHost ? USB_FRAME : Clock::duration::zero()) {}
  // Of `ready` bytes, how many may pass now.
  size_t Available(Clock::time_point now, size_t ready) {
    return uart_ ? timer_.Available(now, ready) : std::min(ready, bucket_.Available(now));
  }
  void Consume(size_t n) {
    if (uart_) {
      timer_.Consume(n);
    } else {
      bucket_.Consume(n);
    }
  }
  // How long until more may pass.
  Clock::duration Wait(Clock::time_point now) {
    // The bucket keeps its whole-millisecond steps, and so its bursts.
    if (!uart_) return std::chrono::ceil<std::chrono::milliseconds>(bucket_.UntilNext(now));
    Clock::duration next = timer_.UntilNext(now);
    return slice_ ? std::max(next, std::min(timer_.UntilAll(now), RX_SLICE)) : next;
  }

 private:
  bool uart_;
  bool slice_;
  TokenBucket bucket_;
  UartTimer timer_;
};

timespec ToTimespec(Clock::duration d) {
  auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(d, Clock::duration::zero()));
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns.count() / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(ns.count() % 1'000'000'000);
  return ts;
}

}  // namespace

SimLine::SimLine(SimOptions options, LineOptions line)
    : options_(std::move(options)), line_(std::move(line)) {
  engine_ = std::make_unique<SimEngine>(options_, &transcript_);
}

SimLine::~SimLine() {
  Stop();
  CloseLine();
  if (wakeRead_ >= 0) close(wakeRead_);
  if (wakeWrite_ >= 0) close(wakeWrite_);
}

void SimLine::SetDisplay(std::function<void(const std::string&)> display) {
  engine_->SetDisplay(std::move(display));
}
void SimLine::SetNotice(std::function<void(const std::string&)> notice) {
  engine_->SetNotice(std::move(notice));
}

bool SimLine::Open(std::string* error) {
  if (!line_.transcript.empty() && !transcript_.OpenFile(line_.transcript)) {
    *error = "cannot create transcript " + line_.transcript;
    return false;
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  if (line_.device.empty()) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      *error = std::string("openpty: ") + std::strerror(errno);
      return false;
    }
    fd_ = master;
    slaveFd_ = slave;
    path_ = name;
    // Raw both ways: no echo of our own answers, no line editing.
    if (!MakeRaw(slave)) {
      *error = std::string("raw mode: ") + std::strerror(errno);
      return false;
    }
    fcntl(slave, F_SETFD, FD_CLOEXEC);
  } else {
    fd_ = open(line_.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
      *error = line_.device + ": " + std::strerror(errno);
      return false;
    }
    path_ = line_.device;
    if (!MakeRaw(fd_)) {
      *error = line_.device + ": raw mode: " + std::strerror(errno);
      return false;
    }
  }
  fcntl(fd_, F_SETFD, FD_CLOEXEC);
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  return true;
}

void SimLine::CloseLine() {
  if (fd_ >= 0) close(fd_);
  if (slaveFd_ >= 0) close(slaveFd_);
  fd_ = -1;
  slaveFd_ = -1;
}

uint64_t SimLine::NowMs() const {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count());
}

void SimLine::RequestStop() {
  stop_.store(true);
  if (wakeWrite_ >= 0) {
    char byte = 1;
    ssize_t ignored = write(wakeWrite_, &byte, 1);
    (void)ignored;
  }
}

void SimLine::StartThread() {
  thread_ = std::thread([this] { Run(); });
}

void SimLine::Stop() {
  RequestStop();
  if (thread_.joinable()) thread_.join();
}

struct SimLine::Loop {
  Loop(const LineOptions& line, Clock::time_point start)
      : tx(line, start, true), rx(line, start, false), buffer(READ_BLOCK) {}
  Pacing tx;
  Pacing rx;
  std::vector<uint8_t> buffer;
  std::deque<OutChunk> pendingOut;  // due, not yet started
  std::optional<OutChunk> current;  // the chunk being written
  size_t written = 0;               // how much of it is out
  bool txFull = false;              // the last write found the line's buffer full
  size_t waiting = 0;               // the host's bytes waiting to be read
};

void SimLine::Run() {
  start_ = Clock::now();
  Loop loop(line_, start_);
  engine_->Start(0);
  while (!stop_.load() && fd_ >= 0) {
    const uint64_t now = NowMs();
    if (!RunEngine(loop, now)) break;
    // Move what the line's timing lets through now, then wait for the next
    // thing that can happen.
    const Clock::time_point tnow = Clock::now();
    const Flow wrote = WriteSome(loop, tnow);
    if (wrote == Flow::END) break;
    const Flow read = ReadSome(loop, tnow);
    if (read == Flow::END) break;
    if (wrote == Flow::MOVED || read == Flow::MOVED) continue;
    if (!WaitForWork(loop, now, tnow)) break;
  }
  engine_->SaveImage();
  PublishCounts();
  if (engine_->ExpectReached()) finished_.store(true);
}

void SimLine::PublishCounts() {
  imageBytes_.store(engine_->ImageBytes());
  erases_.store(engine_->Erases());
}

bool SimLine::RunEngine(Loop& loop, uint64_t now) {
  engine_->Poll(now);
  PublishCounts();
  if (line_.exitOnExpect && engine_->ExpectReached()) {
    finished_.store(true);
    return false;
  }
  auto due = engine_->TakeDue(now);
  loop.pendingOut.insert(loop.pendingOut.end(), std::make_move_iterator(due.begin()),
                         std::make_move_iterator(due.end()));
  if (!loop.current && !loop.pendingOut.empty()) {
    loop.current = std::move(loop.pendingOut.front());
    loop.pendingOut.pop_front();
    loop.written = 0;
  }
  return true;
}

SimLine::Flow SimLine::WriteSome(Loop& loop, Clock::time_point now) {
  if (!loop.current || loop.txFull) return Flow::IDLE;
  OutChunk& chunk = *loop.current;
  const size_t allowed = loop.tx.Available(now, chunk.bytes.size() - loop.written);
  const ssize_t n = allowed == 0 ? 0 : write(fd_, chunk.bytes.data() + loop.written, allowed);
  if (n > 0) {
    loop.tx.Consume(static_cast<size_t>(n));
    loop.written += static_cast<size_t>(n);
    if (loop.written == chunk.bytes.size()) {
      chunk.info.t = NowMs();
      chunk.info.hex = ToHex(chunk.bytes.data(), chunk.bytes.size());
      transcript_.Add(std::move(chunk.info));
      loop.current.reset();
      engine_->Sent(NowMs());
    }
    return Flow::MOVED;
  }
  if (n < 0 && errno == EAGAIN) {
    loop.txFull = true;
  } else if (n < 0 && errno != EINTR) {
    return Flow::END;
  }
  return Flow::IDLE;
}

SimLine::Flow SimLine::ReadSome(Loop& loop, Clock::time_point now) {
  loop.waiting = BytesWaiting(fd_);
  if (loop.waiting == 0) return Flow::IDLE;
  size_t allowed = std::min(loop.buffer.size(), loop.rx.Available(now, loop.waiting));
  const uint64_t limit = options_.faults.hangupAfter;
  if (limit != 0) allowed = std::min<uint64_t>(allowed, limit - rxTotal_.load());
  const ssize_t n = allowed == 0 ? 0 : read(fd_, loop.buffer.data(), allowed);
  if (n > 0) {
    loop.rx.Consume(static_cast<size_t>(n));
    rxTotal_.fetch_add(static_cast<uint64_t>(n));
    engine_->Receive(loop.buffer.data(), static_cast<size_t>(n), NowMs());
    if (limit != 0 && rxTotal_.load() >= limit) {
      HangUpOnPurpose();
      return Flow::END;
    }
    return Flow::MOVED;
  }
  if (n < 0 && errno == EAGAIN) {
    loop.waiting = 0;  // the count was stale: wait for bytes
  } else if (n < 0 && errno != EINTR) {
    hungUp_.store(true);
    return Flow::END;
  }
  return Flow::IDLE;
}

void SimLine::HangUpOnPurpose() {
  TranscriptEntry hang;
  hang.t = NowMs();
  hang.dir = "tx";
  hang.kind = "hangup";
  hang.fault = "hangup-after";
  transcript_.Add(std::move(hang));
  CloseLine();
  hungUp_.store(true);
}

bool SimLine::WaitForWork(Loop& loop, uint64_t now, Clock::time_point tnow) {
  Clock::duration wait = IDLE_POLL;
  if (auto next = engine_->NextDeadline()) {
    wait = std::min(wait, *next <= now ? Clock::duration::zero()
                                       : Clock::duration(std::chrono::milliseconds(*next - now)));
  }
  short events = 0;
  if (loop.current) {
    if (loop.txFull) {
      events |= POLLOUT;
    } else {
      wait = std::min(wait, loop.tx.Wait(tnow));
    }
  }
  if (loop.waiting == 0) {
    events |= POLLIN;
  } else {
    wait = std::min(wait, loop.rx.Wait(tnow));
  }
  pollfd fds[2] = {};
  fds[0].fd = fd_;
  fds[0].events = events;
  fds[1].fd = wakeRead_;
  fds[1].events = POLLIN;
  const timespec timeout = ToTimespec(wait);
  if (ppoll(fds, 2, &timeout, nullptr) < 0) return errno == EINTR;
  if ((fds[1].revents & POLLIN) != 0) {
    char drain[16];
    while (read(wakeRead_, drain, sizeof drain) > 0) {
    }
  }
  if ((fds[0].revents & POLLOUT) != 0) loop.txFull = false;
  if ((fds[0].revents & (POLLHUP | POLLERR)) != 0 && (fds[0].revents & POLLIN) == 0) {
    // A device whose other side went away; a pty we hold never gets here.
    hungUp_.store(true);
    return false;
  }
  return true;
}

}  // namespace quillon::sim
