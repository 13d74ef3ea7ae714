// Pacing of bytes at a line's rate: N baud carries N/11 bytes per second
// (start bit, 8 data bits, parity, stop bit).
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

// A UART's own timing: each byte takes 11 bit times, back to back while more
// is waiting; an idle line earns nothing, so unlike the bucket a short answer
// after a pause still takes its full line time. With a frame length, bytes
// reach the far side only on frame boundaries counted from `origin`, as a USB
// bridge ships what its UART has gathered once per 1 ms frame.
class UartTimer {
 public:
  using Clock = std::chrono::steady_clock;

  // baud 0: bytes take no time (only the frames hold them).
  UartTimer(uint32_t baud, Clock::time_point origin, Clock::duration frame = Clock::duration::zero())
      : byte_(baud == 0 ? Clock::duration::zero()
                        : std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
                              static_cast<int64_t>(11'000'000'000ULL / baud)))),
        frame_(frame),
        origin_(origin),
        begin_(origin),
        freeAt_(origin) {}

  // Of `ready` bytes waiting to cross (those counted before but not yet
  // taken included), how many have crossed by now. Bytes that come while a
  // run is on the line follow it back to back; after it they start anew.
  size_t Available(Clock::time_point now, size_t ready) {
    size_t left = count_ - taken_;
    if (left == 0 && ready > 0) {
      begin_ = std::max(freeAt_, now);
      count_ = taken_ = 0;
      Extend(ready);
    } else if (ready < left) {
      count_ = taken_ + ready;  // the waiting bytes were flushed
      freeAt_ = begin_ + Span(count_);
    } else if (ready > left && freeAt_ > now) {
      Extend(ready - left);
    }
    return Crossed(FrameFloor(now)) - taken_;
  }
  void Consume(size_t n) { taken_ = std::min(count_, taken_ + n); }
  // How long until another byte has crossed (max when none is on the way).
  Clock::duration UntilNext(Clock::time_point now) const {
    if (taken_ >= count_) return Clock::duration::max();
    size_t crossed = Crossed(FrameFloor(now));
    if (crossed > taken_) return Clock::duration::zero();
    return std::max(Clock::duration::zero(), FrameCeil(begin_ + Span(crossed + 1)) - now);
  }
  // How long until every byte of the run has crossed.
  Clock::duration UntilAll(Clock::time_point now) const {
    return std::max(Clock::duration::zero(), FrameCeil(freeAt_) - now);
  }

 private:
  Clock::duration Span(size_t bytes) const { return byte_ * static_cast<Clock::rep>(bytes); }
  void Extend(size_t bytes) {
    count_ += bytes;
    freeAt_ = begin_ + Span(count_);
  }
  size_t Crossed(Clock::time_point t) const {
    if (t < begin_) return 0;
    if (byte_ == Clock::duration::zero()) return count_;
    return std::min(count_, static_cast<size_t>((t - begin_) / byte_));
  }
  Clock::time_point FrameFloor(Clock::time_point t) const {
    if (frame_ == Clock::duration::zero() || t < origin_) return t;
    return origin_ + (t - origin_) / frame_ * frame_;
  }
  Clock::time_point FrameCeil(Clock::time_point t) const {
    Clock::time_point floor = FrameFloor(t);
    return floor == t ? t : floor + frame_;
  }

  Clock::duration byte_;
  Clock::duration frame_;
  Clock::time_point origin_;
  Clock::time_point begin_;   // the run's first byte starts here
  Clock::time_point freeAt_;  // the run's last byte ends here
  size_t count_ = 0;          // bytes of the run
  size_t taken_ = 0;          // of them, taken across
};

}  // namespace quillon::sim
