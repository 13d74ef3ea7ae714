// The simulated readout's frame: the clock's entry points, the out queue and
// the record of the line. The packet side, the dialogues, the answers and the
// bootloader have files of their own.
#include "sim/sim_engine.h"

#include <algorithm>
#include <iterator>

namespace quillon::sim {

namespace {

// The id of every packet of a readout that numbers none (--answer-ids constant).
constexpr uint16_t CONSTANT_ID = 1;

}  // namespace

SimEngine::SimEngine(SimOptions options, Transcript* transcript)
    : options_(std::move(options)), transcript_(transcript), random_(options_.faults.seed) {
  if (options_.pieceSize < 1) options_.pieceSize = 1;
  if (options_.pieceSize > MAX_DATA) options_.pieceSize = MAX_DATA;
}

void SimEngine::Start(uint64_t now) {
  if (options_.sendAfterMs >= 0) {
    unaskedDue_ = true;
    unaskedAt_ = now + static_cast<uint64_t>(options_.sendAfterMs);
  }
}

void SimEngine::Receive(const uint8_t* data, size_t count, uint64_t now) {
  if (count == 0) return;
  const bool afterGap = options_.imageGapMs != 0 && now - lastRxAt_ >= options_.imageGapMs;
  lastRxAt_ = now;
  if (options_.mode == SimMode::BOOT) {
    ReceiveBoot(data, count, now, afterGap);
  } else {
    ReceiveApp(data, count, now);
  }
  // The unasked packets follow the host's first bytes, but only once the
  // frame they begin is whole and answered: however the line splits that
  // frame into reads, its answer goes first.
  const bool midFrame = options_.mode == SimMode::APP && parser_.State() != RX_HUNT;
  if (options_.sendAfterMs < 0 && !unaskedSent_ && !midFrame) {
    unaskedDue_ = true;
    unaskedAt_ = now;
  }
}

void SimEngine::Sent(uint64_t now) { lastSentAt_ = std::max(lastSentAt_, now); }

void SimEngine::Poll(uint64_t now) {
  if (unaskedDue_ && now >= unaskedAt_) SendUnasked(now);
  StreamLogs(now);
  if (options_.mode == SimMode::BOOT) PollBoot(now);
}

std::optional<uint64_t> SimEngine::NextDeadline() const {
  std::optional<uint64_t> next;
  auto take = [&](uint64_t t) {
    if (!next || t < *next) next = t;
  };
  if (!queue_.empty()) take(queue_.front().due);
  if (unaskedDue_) take(unaskedAt_);
  if (auto log = NextLogAt()) take(*log);
  if (options_.mode == SimMode::BOOT) {
    if (auto boot = NextBootDeadline()) take(*boot);
  }
  return next;
}

std::vector<OutChunk> SimEngine::TakeDue(uint64_t now) {
  std::vector<OutChunk> out;
  while (!queue_.empty() && queue_.front().due <= now) {
    out.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  return out;
}

std::vector<OutChunk> SimEngine::TakeAll() {
  std::vector<OutChunk> out(std::make_move_iterator(queue_.begin()),
                            std::make_move_iterator(queue_.end()));
  queue_.clear();
  return out;
}

void SimEngine::Push(std::vector<uint8_t> bytes, uint64_t due, TranscriptEntry info) {
  // Chunks never overtake one another.
  if (due < lastDue_) due = lastDue_;
  lastDue_ = due;
  info.dir = "tx";
  queue_.push_back(OutChunk{std::move(bytes), due, std::move(info)});
}

void SimEngine::Record(TranscriptEntry entry, uint64_t now) {
  if (transcript_ == nullptr) return;
  entry.t = now;
  transcript_->Add(std::move(entry));
}

void SimEngine::RecordReceivedRaw(const uint8_t* data, size_t count, uint64_t now) {
  TranscriptEntry raw;
  raw.dir = "rx";
  raw.kind = "raw";
  raw.hex = ToHex(data, count);
  Record(std::move(raw), now);
}

void SimEngine::Notice(const std::string& text) {
  if (notice_) notice_(text);
}

std::vector<uint8_t> SimEngine::NewFrame(const Reply& reply) {
  ++nextId_;
  switch (options_.answerIds) {
    case AnswerIds::COUNTER:
      lastTxId_ = nextId_;
      break;
    case AnswerIds::ECHOED:
      lastTxId_ = answering_;
      break;
    case AnswerIds::CONSTANT:
      lastTxId_ = CONSTANT_ID;
      break;
  }
  return EncodeFrame(reply.cmd, lastTxId_, reply.data.data(),
                     static_cast<uint16_t>(reply.data.size()));
}

}  // namespace quillon::sim
