// A token bucket that paces bytes at a line's rate: N baud carries N/11
// bytes per second (start bit, 8 data bits, parity, stop bit).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quillon::sim {

class TokenBucket {
 public:
  using Clock = std::chrono::steady_clock;

  // baud 0: unpaced. The bucket holds at most `burstMs` worth of bytes, so a
  // quiet spell does not buy a long burst later.
  explicit TokenBucket(uint32_t baud, Clock::time_point start = Clock::now(), uint32_t burstMs = 10)
      : rate_(static_cast<double>(baud) / 11.0),
        capacity_(std::max(1.0, rate_ * burstMs / 1000.0)),
        tokens_(0.0),
        last_(start) {}

  bool Paced() const { return rate_ > 0.0; }
  double BytesPerSecond() const { return rate_; }

  // Whole bytes that may go now.
  size_t Available(Clock::time_point now) {
    if (!Paced()) return SIZE_MAX;
    Refill(now);
    return static_cast<size_t>(tokens_);
  }
  void Consume(size_t n) {
    if (Paced()) tokens_ -= static_cast<double>(n);
  }
  // How long until one more byte may go.
  Clock::duration UntilNext(Clock::time_point now) {
    if (!Paced()) return Clock::duration::zero();
    Refill(now);
    if (tokens_ >= 1.0) return Clock::duration::zero();
    auto wait = std::chrono::duration<double>((1.0 - tokens_) / rate_);
    return std::chrono::duration_cast<Clock::duration>(wait) + Clock::duration(1);
  }

 private:
  void Refill(Clock::time_point now) {
    if (now <= last_) return;
    double elapsed = std::chrono::duration<double>(now - last_).count();
    tokens_ = std::min(capacity_, tokens_ + elapsed * rate_);
    last_ = now;
  }

  double rate_;
  double capacity_;
  double tokens_;
  Clock::time_point last_;
};

}  // namespace quillon::sim
