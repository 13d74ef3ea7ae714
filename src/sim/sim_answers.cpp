// The readout's answers on their way out, shaped by the faults made on
// purpose: dropped, corrupted, cut short, split, preceded by noise or by a
// header announcing more than a frame may carry.
#include <algorithm>
#include <iterator>

#include "sim/sim_engine.h"

namespace quillon::sim {

namespace {

constexpr uint64_t SPLIT_GAP_MS = 2;
constexpr uint16_t OVERSIZE_LENGTH = 600;
// What a corrupted checksum byte is XORed with.
constexpr uint8_t CORRUPTION = 0x5A;

// The transcript's entry of a frame the readout sends, from its header.
TranscriptEntry FrameEntry(const std::vector<uint8_t>& frame) {
  PacketHeader header;
  std::copy(frame.begin(), frame.begin() + HEADER_SIZE, header.bytes.begin());
  TranscriptEntry info;
  info.dir = "tx";
  info.kind = "frame";
  info.cmd = header.Command();
  info.id = header.Id();
  info.len = header.Length();
  return info;
}

void MarkPartial(TranscriptEntry* info, const char* fault) {
  info->kind = "partial";
  info->fault = fault;
}

}  // namespace

void SimEngine::EmitAnswer(std::vector<uint8_t> frame, uint32_t number, uint64_t now) {
  const FaultOptions& f = options_.faults;
  TranscriptEntry info = FrameEntry(frame);
  if (Dropped(number)) {
    RecordDropped(std::move(info), frame, number, now);
    return;
  }
  if (number == f.corruptChecksum) {
    frame[2] = static_cast<uint8_t>(frame[2] ^ CORRUPTION);
    info.fault = "corrupt-checksum";
    info.checksumOk = false;
  }
  if (f.oversizeHeader && !oversizeSent_) PushOversizeHeader(now);
  PushNoise(now);
  if (number == f.stallMidPacket) {
    frame.resize(frame.size() / 2);
    MarkPartial(&info, "stall-mid-packet");
    Push(std::move(frame), now, std::move(info));
    return;
  }
  if (f.splitWrites && frame.size() > 1) {
    PushSplit(frame, now, info);
    return;
  }
  Push(std::move(frame), now, std::move(info));
}

void SimEngine::EmitTrouble(bool badChecksum, uint64_t now) {
  // Claims trouble with the host's packet, which is not taken.
  const uint16_t cmd = badChecksum ? CMD_BAD_CHECKSUM : CMD_REMOTE_TIMEOUT;
  std::vector<uint8_t> frame = NewFrame({cmd, "1"});
  TranscriptEntry info;
  info.kind = "frame";
  info.cmd = cmd;
  info.id = lastTxId_;
  info.len = 1;
  info.fault = badChecksum ? "answer-bad-checksum" : "answer-remote-timeout";
  Push(std::move(frame), now, std::move(info));
}

void SimEngine::EmitEraseAnswer(uint64_t now, uint64_t due) {
  const FaultOptions& f = options_.faults;
  if (f.silent) return;  // erased all the same, but never a word
  const uint32_t number = ++answerCount_;
  std::vector<uint8_t> answer = {0x07, 0x06};
  TranscriptEntry info;
  info.dir = "tx";
  info.kind = "raw";
  if (Dropped(number)) {
    RecordDropped(std::move(info), answer, number, now);
    return;
  }
  if (number == f.corruptChecksum) {
    answer[1] = static_cast<uint8_t>(answer[1] ^ CORRUPTION);
    info.fault = "corrupt-checksum";
  }
  PushNoise(due);
  if (number == f.stallMidPacket) {
    answer.resize(1);
    MarkPartial(&info, "stall-mid-packet");
  }
  if (f.splitWrites && answer.size() == 2) {
    MarkPartial(&info, "split-writes");
    Push({answer[0]}, due, info);
    Push({answer[1]}, due + SPLIT_GAP_MS, std::move(info));
    return;
  }
  Push(std::move(answer), due, std::move(info));
}

bool SimEngine::Dropped(uint32_t number) const {
  const FaultOptions& f = options_.faults;
  return number == f.dropNth || (f.dropEvery != 0 && number % f.dropEvery == 0);
}

void SimEngine::RecordDropped(TranscriptEntry info, const std::vector<uint8_t>& bytes,
                              uint32_t number, uint64_t now) {
  info.kind = "dropped";
  info.fault = number == options_.faults.dropNth ? "drop-nth" : "drop-every";
  info.hex = ToHex(bytes.data(), bytes.size());
  Record(std::move(info), now);
}

void SimEngine::PushOversizeHeader(uint64_t now) {
  oversizeSent_ = true;
  std::vector<uint8_t> big = EncodeFrame(CMD_LOG, 0, nullptr, 0);
  big[4] = static_cast<uint8_t>(OVERSIZE_LENGTH & 0xFF);
  big[5] = static_cast<uint8_t>(OVERSIZE_LENGTH >> 8);
  TranscriptEntry info;
  info.kind = "raw";
  info.cmd = CMD_LOG;
  info.len = OVERSIZE_LENGTH;
  info.fault = "oversize-header";
  Push(std::move(big), now, std::move(info));
}

void SimEngine::PushNoise(uint64_t due) {
  const uint32_t count = options_.faults.noise;
  if (count == 0) return;
  std::vector<uint8_t> noise;
  std::uniform_int_distribution<int> byteDist(0, 254);
  for (uint32_t i = 0; i < count; ++i) {
    int value = byteDist(random_);
    if (value >= START_MARK) ++value;  // never a start mark
    noise.push_back(static_cast<uint8_t>(value));
  }
  TranscriptEntry info;
  info.kind = "noise";
  info.fault = "noise";
  Push(std::move(noise), due, std::move(info));
}

void SimEngine::PushSplit(const std::vector<uint8_t>& frame, uint64_t now,
                          const TranscriptEntry& info) {
  // Up to three pieces at random boundaries, SPLIT_GAP_MS apart.
  std::uniform_int_distribution<size_t> cutDist(1, frame.size() - 1);
  size_t cut1 = cutDist(random_);
  size_t cut2 = cutDist(random_);
  if (cut2 < cut1) std::swap(cut1, cut2);
  const size_t cuts[] = {0, cut1, cut2, frame.size()};
  uint64_t due = now;
  for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
    if (cuts[i + 1] == cuts[i]) continue;
    TranscriptEntry piece = info;
    MarkPartial(&piece, "split-writes");
    Push(std::vector<uint8_t>(frame.begin() + static_cast<long>(cuts[i]),
                              frame.begin() + static_cast<long>(cuts[i + 1])),
         due, std::move(piece));
    due += SPLIT_GAP_MS;
  }
}

}  // namespace quillon::sim
