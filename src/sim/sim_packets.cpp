// The readout's packet side: frames in, each answered once (a resend gets the
// same answer again), and the packets it sends unasked.
#include <algorithm>

#include "sim/sim_engine.h"

namespace quillon::sim {

namespace {

// A host resends after 500 to about 600 ms without an answer, at once after a
// checksum error, and never for the long command; a repeat later than this
// after the readout's last bytes left is a new packet. (On a slow line an
// answer may wait seconds behind earlier ones, and the host's clock only runs
// once the line has gone quiet.)
constexpr uint64_t REPEAT_WINDOW_MS = 3000;

// The frame's bytes as they came (the parser keeps the fields, not the wire).
std::vector<uint8_t> WireOf(const ReceivedPacket& p) {
  std::vector<uint8_t> out = {START_MARK,
                              START_MARK,
                              static_cast<uint8_t>(p.receivedChecksum & 0xFF),
                              static_cast<uint8_t>(p.receivedChecksum >> 8),
                              static_cast<uint8_t>(p.length & 0xFF),
                              static_cast<uint8_t>(p.length >> 8),
                              static_cast<uint8_t>(p.command & 0xFF),
                              static_cast<uint8_t>(p.command >> 8),
                              static_cast<uint8_t>(p.id & 0xFF),
                              static_cast<uint8_t>(p.id >> 8)};
  out.insert(out.end(), p.data, p.data + p.dataCount);
  return out;
}

// The host's packets the readout answers.
bool Answered(uint16_t command) {
  switch (command) {
    case CMD_TEST:
    case CMD_NLEC_SEND_START:
    case CMD_NLEC_LINE:
    case CMD_NLEC_SEND_END:
    case CMD_FILE_SEND_START:
    case CMD_FILE_CHUNK:
    case CMD_FILE_SEND_END:
    case CMD_NLEC_GET_START:
    case CMD_NLEC_GET_LINE:
    case CMD_FILE_GET_START:
    case CMD_FILE_GET_DATA:
      return true;
    default:
      return false;
  }
}

}  // namespace

void SimEngine::ReceiveApp(const uint8_t* data, size_t count, uint64_t now) {
  for (size_t i = 0; i < count; ++i) {
    rxPending_.push_back(data[i]);
    auto packet = parser_.Feed(data[i]);
    if (packet == nullptr) continue;
    const size_t frameSize = HEADER_SIZE + static_cast<size_t>(packet->dataCount);
    if (rxPending_.size() > frameSize) {
      RecordReceivedRaw(rxPending_.data(), rxPending_.size() - frameSize, now);
    }
    rxPending_.clear();
    HandlePacket(*packet, now);
  }
  // Bytes the parser threw away while hunting are shown once it is back to hunting.
  if (parser_.State() == RX_HUNT && !rxPending_.empty()) {
    RecordReceivedRaw(rxPending_.data(), rxPending_.size(), now);
    rxPending_.clear();
  }
}

void SimEngine::HandlePacket(const ReceivedPacket& p, uint64_t now) {
  RecordReceivedFrame(p, now);
  const FaultOptions& f = options_.faults;
  if (f.silent) return;
  answering_ = p.id;
  const uint64_t due = now + options_.answerDelayMs;
  if (p.receivedChecksum != p.computedChecksum) {
    // The host resends on code 1; nothing of the packet is taken.
    EmitAnswer(NewFrame({CMD_BAD_CHECKSUM, "1"}), ++answerCount_, due);
    return;
  }
  if (IsResend(p, now)) {
    // The answer was lost or damaged on its way, so it goes out again and the
    // dialogue does not move on a second time.
    lastAnsweredAt_ = now;
    EmitAnswer(lastAnswer_, ++answerCount_, due);
    return;
  }
  if (!Answered(p.command)) {
    Notice("ignored packet with command " + std::to_string(p.command));
    return;
  }
  const uint32_t number = ++answerCount_;
  if (number == f.answerBadChecksum || number == f.answerRemoteTimeout) {
    EmitTrouble(number == f.answerBadChecksum, due);
    return;
  }
  std::optional<Reply> reply = AnswerTo(p);
  if (!reply) return;
  RememberAnswer(p, NewFrame(*reply), now);
  EmitAnswer(lastAnswer_, number, due);
}

void SimEngine::RecordReceivedFrame(const ReceivedPacket& p, uint64_t now) {
  const std::vector<uint8_t> wire = WireOf(p);
  TranscriptEntry rx;
  rx.dir = "rx";
  rx.kind = "frame";
  rx.cmd = p.command;
  rx.id = p.id;
  rx.len = p.length;
  rx.hex = ToHex(wire.data(), wire.size());
  rx.checksumOk = p.receivedChecksum == p.computedChecksum;
  Record(std::move(rx), now);
}

bool SimEngine::IsResend(const ReceivedPacket& p, uint64_t now) const {
  // The same id, command and checksum as the packet just answered. Only
  // within the time a host resends in, counted from when the answer (or
  // whatever followed it) had left, so that a new session whose first packet
  // happens to equal the last one of an earlier session is answered anew. A
  // readout that keeps no such memory takes it as a new request.
  const uint64_t quietSince = std::max(lastAnsweredAt_, lastSentAt_);
  return options_.resendAnswer == ResendAnswer::COPY && haveLast_ &&
         (now <= quietSince || now - quietSince <= REPEAT_WINDOW_MS) && p.id == lastRxId_ &&
         p.command == lastRxCmd_ && p.receivedChecksum == lastRxSum_;
}

void SimEngine::RememberAnswer(const ReceivedPacket& p, std::vector<uint8_t> frame, uint64_t now) {
  lastAnswer_ = std::move(frame);
  haveLast_ = true;
  lastRxId_ = p.id;
  lastRxCmd_ = p.command;
  lastRxSum_ = p.receivedChecksum;
  lastAnsweredAt_ = now;
}

std::optional<Reply> SimEngine::AnswerTo(const ReceivedPacket& p) {
  switch (p.command) {
    case CMD_TEST:
      // The readout echoes the test packet with its own code and the same data.
      return Reply{CMD_TEST, std::vector<uint8_t>(p.data, p.data + p.dataCount)};
    case CMD_FILE_SEND_START:
    case CMD_FILE_CHUNK:
    case CMD_FILE_SEND_END:
      return FileSend(p);
    case CMD_FILE_GET_START:
    case CMD_FILE_GET_DATA:
      return FileGet(p);
    case CMD_NLEC_SEND_START:
    case CMD_NLEC_LINE:
    case CMD_NLEC_SEND_END:
      return NlecSend(p);
    case CMD_NLEC_GET_START:
    case CMD_NLEC_GET_LINE:
      return NlecGet(p);
    default:
      return std::nullopt;
  }
}

void SimEngine::SendUnasked(uint64_t now) {
  unaskedSent_ = true;
  unaskedDue_ = false;
  for (const std::string& text : options_.sendLog) PushUnasked(CMD_LOG, text, now);
  if (options_.sendEraseResult) PushUnasked(CMD_FLASH_ERASE_RESULT, *options_.sendEraseResult, now);
  if (options_.sendNop) PushUnasked(CMD_NOP, "", now);
  if (options_.logRate > 0 && !logStreaming_) {
    logStreaming_ = true;
    logStart_ = now;
  }
}

void SimEngine::PushUnasked(uint16_t cmd, const std::string& text, uint64_t now) {
  std::vector<uint8_t> frame = NewFrame({cmd, text});
  TranscriptEntry info;
  info.kind = "frame";
  info.cmd = cmd;
  info.id = lastTxId_;
  info.len = static_cast<int>(text.size());
  Push(std::move(frame), now, std::move(info));
}

}  // namespace quillon::sim
