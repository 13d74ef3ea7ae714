#include "sim/sim_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillon::sim {

namespace {

constexpr size_t READ_BLOCK = 4096;
constexpr int IDLE_POLL_MS = 100;

bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

int MsUntil(TokenBucket::Clock::duration d) {
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return static_cast<int>(std::max<long long>(0, std::min<long long>(ms, IDLE_POLL_MS)));
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
                                   TokenBucket::Clock::now() - start_)
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
  start_ = TokenBucket::Clock::now();
  TokenBucket txBucket(line_.baud, start_);
  TokenBucket rxBucket(line_.baud, start_);
  engine_->Start(0);
  std::vector<uint8_t> buffer(READ_BLOCK);

  // The chunk being written, and how much of it is out.
  std::optional<OutChunk> current;
  size_t written = 0;

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
    if (!current) {
      if (!pendingOut_.empty()) {
        current = std::move(pendingOut_.front());
        pendingOut_.pop_front();
        written = 0;
      }
    }

    int timeout = IDLE_POLL_MS;
    if (auto next = engine_->NextDeadline()) {
      timeout = *next <= now ? 0 : static_cast<int>(std::min<uint64_t>(*next - now, IDLE_POLL_MS));
    }
    auto tnow = TokenBucket::Clock::now();
    bool canRead = rxBucket.Available(tnow) > 0;
    if (!canRead) timeout = std::min(timeout, MsUntil(rxBucket.UntilNext(tnow)));
    bool wantWrite = current.has_value();
    if (wantWrite && txBucket.Available(tnow) == 0) {
      wantWrite = false;
      timeout = std::min(timeout, MsUntil(txBucket.UntilNext(tnow)));
    }

    pollfd fds[2] = {};
    fds[0].fd = fd_;
    fds[0].events = static_cast<short>((canRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    fds[1].fd = wakeRead_;
    fds[1].events = POLLIN;
    int ready = poll(fds, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      char drain[16];
      while (read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if ((fds[0].revents & POLLOUT) != 0 && current) {
      size_t left = current->bytes.size() - written;
      size_t allowed = std::min(left, txBucket.Available(TokenBucket::Clock::now()));
      ssize_t n = write(fd_, current->bytes.data() + written, allowed);
      if (n > 0) {
        txBucket.Consume(static_cast<size_t>(n));
        written += static_cast<size_t>(n);
        if (written == current->bytes.size()) {
          current->info.t = NowMs();
          current->info.hex = ToHex(current->bytes.data(), current->bytes.size());
          transcript_.Add(std::move(current->info));
          current.reset();
        }
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        break;
      }
    }
    if ((fds[0].revents & POLLIN) != 0) {
      size_t allowed = std::min(buffer.size(), rxBucket.Available(TokenBucket::Clock::now()));
      uint64_t limit = options_.faults.hangupAfter;
      if (limit != 0) allowed = std::min<uint64_t>(allowed, limit - rxTotal_.load());
      ssize_t n = read(fd_, buffer.data(), allowed);
      if (n > 0) {
        rxBucket.Consume(static_cast<size_t>(n));
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
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // A device whose other side went away; a pty we hold never gets here.
        hungUp_.store(true);
        break;
      }
    } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0 && !canRead) {
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
