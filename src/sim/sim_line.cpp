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
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(d, Clock::duration::zero()));
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
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   Clock::now() - start_)
                                   .count());
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

void SimLine::Run() {
  start_ = Clock::now();
  Pacing tx(line_, start_, true);
  Pacing rx(line_, start_, false);
  engine_->Start(0);
  std::vector<uint8_t> buffer(READ_BLOCK);

  // The chunk being written, and how much of it is out.
  std::optional<OutChunk> current;
  size_t written = 0;
  bool txFull = false;  // the last write found the line's buffer full

  while (!stop_.load() && fd_ >= 0) {
    uint64_t now = NowMs();
    engine_->Poll(now);
    imageBytes_.store(engine_->ImageBytes());
    erases_.store(engine_->Erases());
    if (line_.exitOnExpect && engine_->ExpectReached()) {
      finished_.store(true);
      break;
    }
    auto due = engine_->TakeDue(now);
    pendingOut_.insert(pendingOut_.end(), std::make_move_iterator(due.begin()),
                       std::make_move_iterator(due.end()));
    if (!current && !pendingOut_.empty()) {
      current = std::move(pendingOut_.front());
      pendingOut_.pop_front();
      written = 0;
    }

    // Move what the line's timing lets through now, then wait for the next
    // thing that can happen.
    bool moved = false;
    auto tnow = Clock::now();
    if (current && !txFull) {
      size_t allowed = tx.Available(tnow, current->bytes.size() - written);
      ssize_t n = allowed == 0 ? 0 : write(fd_, current->bytes.data() + written, allowed);
      if (n > 0) {
        moved = true;
        tx.Consume(static_cast<size_t>(n));
        written += static_cast<size_t>(n);
        if (written == current->bytes.size()) {
          current->info.t = NowMs();
          current->info.hex = ToHex(current->bytes.data(), current->bytes.size());
          transcript_.Add(std::move(current->info));
          current.reset();
        }
      } else if (n < 0 && errno == EAGAIN) {
        txFull = true;
      } else if (n < 0 && errno != EINTR) {
        break;
      }
    }
    size_t waiting = BytesWaiting(fd_);
    if (waiting > 0) {
      size_t allowed = std::min(buffer.size(), rx.Available(tnow, waiting));
      uint64_t limit = options_.faults.hangupAfter;
      if (limit != 0) allowed = std::min<uint64_t>(allowed, limit - rxTotal_.load());
      ssize_t n = allowed == 0 ? 0 : read(fd_, buffer.data(), allowed);
      if (n > 0) {
        moved = true;
        rx.Consume(static_cast<size_t>(n));
        rxTotal_.fetch_add(static_cast<uint64_t>(n));
        engine_->Receive(buffer.data(), static_cast<size_t>(n), NowMs());
        if (limit != 0 && rxTotal_.load() >= limit) {
          TranscriptEntry hang;
          hang.t = NowMs();
          hang.dir = "tx";
          hang.kind = "hangup";
          hang.fault = "hangup-after";
          transcript_.Add(std::move(hang));
          CloseLine();
          hungUp_.store(true);
          break;
        }
      } else if (n < 0 && errno == EAGAIN) {
        waiting = 0;  // the count was stale: wait for bytes
      } else if (n < 0 && errno != EINTR) {
        hungUp_.store(true);
        break;
      }
    }
    if (moved) continue;

    Clock::duration wait = IDLE_POLL;
    if (auto next = engine_->NextDeadline()) {
      wait = std::min(wait, *next <= now ? Clock::duration::zero()
                                         : Clock::duration(std::chrono::milliseconds(*next - now)));
    }
    short events = 0;
    if (current) {
      if (txFull) {
        events |= POLLOUT;
      } else {
        wait = std::min(wait, tx.Wait(tnow));
      }
    }
    if (waiting == 0) {
      events |= POLLIN;
    } else {
      wait = std::min(wait, rx.Wait(tnow));
    }
    pollfd fds[2] = {};
    fds[0].fd = fd_;
    fds[0].events = events;
    fds[1].fd = wakeRead_;
    fds[1].events = POLLIN;
    timespec timeout = ToTimespec(wait);
    int ready = ppoll(fds, 2, &timeout, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      char drain[16];
      while (read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if ((fds[0].revents & POLLOUT) != 0) txFull = false;
    if ((fds[0].revents & (POLLHUP | POLLERR)) != 0 && (fds[0].revents & POLLIN) == 0) {
      // A device whose other side went away; a pty we hold never gets here.
      hungUp_.store(true);
      break;
    }
  }
  engine_->SaveImage();
  imageBytes_.store(engine_->ImageBytes());
  erases_.store(engine_->Erases());
  if (engine_->ExpectReached()) finished_.store(true);
}

}  // namespace quillon::sim
