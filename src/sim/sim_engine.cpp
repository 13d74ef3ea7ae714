// The simulated readout: packet dialogues, the bootloader, and faults on purpose.
#include "sim/sim_engine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace quillon::sim {

namespace {

constexpr uint64_t DISPLAY_PERIOD_MS = 100;
constexpr uint64_t IMAGE_SAVE_QUIET_MS = 200;
constexpr uint64_t SPLIT_GAP_MS = 2;
constexpr uint16_t OVERSIZE_LENGTH = 600;
// A host resends after 500 to about 600 ms without an answer, at once after a
// checksum error, and never for the long command; a repeat later than this is
// a new packet.
constexpr uint64_t REPEAT_WINDOW_MS = 3000;
// The id of every packet of a readout that numbers none (--answer-ids constant).
constexpr uint16_t CONSTANT_ID = 1;

std::vector<uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

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
    case CMD_TEST: case CMD_NLEC_SEND_START: case CMD_NLEC_LINE: case CMD_NLEC_SEND_END:
    case CMD_FILE_SEND_START: case CMD_FILE_CHUNK: case CMD_FILE_SEND_END: case CMD_NLEC_GET_START:
    case CMD_NLEC_GET_LINE: case CMD_FILE_GET_START: case CMD_FILE_GET_DATA:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string StoreNameForKind(int kind) {
  switch (kind) {
    case 24: return "bitmap.bin";
    case 25: return "settings.bin";
    case 26: return "program.bin";
    default: return "binary.bin";
  }
}

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

void SimEngine::Notice(const std::string& text) {
  if (notice_) notice_(text);
}

void SimEngine::Record(TranscriptEntry entry, uint64_t now) {
  if (transcript_ == nullptr) return;
  entry.t = now;
  transcript_->Add(std::move(entry));
}

void SimEngine::Push(std::vector<uint8_t> bytes, uint64_t due, TranscriptEntry info) {
  // Chunks never overtake one another.
  if (due < lastDue_) due = lastDue_;
  lastDue_ = due;
  info.dir = "tx";
  queue_.push_back(OutChunk{std::move(bytes), due, std::move(info)});
}

std::vector<uint8_t> SimEngine::NewFrame(uint16_t cmd, const std::vector<uint8_t>& data) {
  ++nextId_;
  switch (options_.answerIds) {
    case AnswerIds::COUNTER: lastTxId_ = nextId_; break;
    case AnswerIds::ECHOED: lastTxId_ = answering_; break;
    case AnswerIds::CONSTANT: lastTxId_ = CONSTANT_ID; break;
  }
  return EncodeFrame(cmd, lastTxId_, data.data(), static_cast<uint16_t>(data.size()));
}

void SimEngine::Receive(const uint8_t* data, size_t count, uint64_t now) {
  if (count == 0) return;
  const bool afterGap = options_.imageGapMs != 0 && now - lastRxAt_ >= options_.imageGapMs;
  lastRxAt_ = now;
  if (options_.sendAfterMs < 0 && !unaskedSent_) {
    unaskedDue_ = true;
    unaskedAt_ = now;
  }
  if (options_.mode == SimMode::BOOT) {
    ReceiveBoot(data, count, now, afterGap);
  } else {
    ReceiveApp(data, count, now);
  }
}

// --- packet side -----------------------------------------------------------

void SimEngine::ReceiveApp(const uint8_t* data, size_t count, uint64_t now) {
  for (size_t i = 0; i < count; ++i) {
    rxPending_.push_back(data[i]);
    auto packet = parser_.Feed(data[i]);
    if (packet == nullptr) continue;
    size_t frameSize = HEADER_SIZE + static_cast<size_t>(packet->dataCount);
    if (rxPending_.size() > frameSize) {
      TranscriptEntry junk;
      junk.dir = "rx";
      junk.kind = "raw";
      junk.hex = ToHex(rxPending_.data(), rxPending_.size() - frameSize);
      Record(std::move(junk), now);
    }
    rxPending_.clear();
    HandlePacket(*packet, now);
  }
  // Bytes the parser threw away while hunting are shown once it is back to hunting.
  if (parser_.State() == RX_HUNT && !rxPending_.empty()) {
    TranscriptEntry junk;
    junk.dir = "rx";
    junk.kind = "raw";
    junk.hex = ToHex(rxPending_.data(), rxPending_.size());
    Record(std::move(junk), now);
    rxPending_.clear();
  }
}

void SimEngine::HandlePacket(const ReceivedPacket& p, uint64_t now) {
  std::vector<uint8_t> wire = WireOf(p);
  TranscriptEntry rx;
  rx.dir = "rx";
  rx.kind = "frame";
  rx.cmd = p.command;
  rx.id = p.id;
  rx.len = p.length;
  rx.hex = ToHex(wire.data(), wire.size());
  rx.checksumOk = p.receivedChecksum == p.computedChecksum;
  Record(std::move(rx), now);

  const FaultOptions& f = options_.faults;
  if (f.silent) return;
  answering_ = p.id;

  if (p.receivedChecksum != p.computedChecksum) {
    // The host resends on code 1; nothing of the packet is taken.
    EmitAnswer(NewFrame(CMD_BAD_CHECKSUM, Text("1")), ++answerCount_, now);
    return;
  }

  // A resend of the packet just answered (same id, command and checksum):
  // the answer was lost or damaged on its way, so it goes out again and the
  // dialogue does not move on a second time.
  // Only within the time a host resends in, so that a new session whose first
  // packet happens to equal the last one of an earlier session is answered anew.
  // A readout that keeps no such memory takes it as a new request.
  if (options_.resendAnswer == ResendAnswer::COPY && haveLast_ && now - lastAnsweredAt_ <= REPEAT_WINDOW_MS && p.id == lastRxId_ &&
      p.command == lastRxCmd_ && p.receivedChecksum == lastRxSum_) {
    lastAnsweredAt_ = now;
    EmitAnswer(lastAnswer_, ++answerCount_, now);
    return;
  }

  uint16_t cmd = 0;
  std::vector<uint8_t> data;
  if (!Answered(p.command)) {
    Notice("ignored packet with command " + std::to_string(p.command));
    return;
  }
  uint32_t number = ++answerCount_;
  if (number == f.answerBadChecksum || number == f.answerRemoteTimeout) {
    EmitTrouble(number == f.answerBadChecksum, now);
    return;
  }
  if (!Answer(p, &cmd, &data)) return;
  lastAnswer_ = NewFrame(cmd, data);
  haveLast_ = true;
  lastRxId_ = p.id;
  lastRxCmd_ = p.command;
  lastRxSum_ = p.receivedChecksum;
  lastAnsweredAt_ = now;
  EmitAnswer(lastAnswer_, number, now);
}

void SimEngine::EmitTrouble(bool badChecksum, uint64_t now) {
  // Claims trouble with the host's packet, which is not taken.
  const uint16_t cmd = badChecksum ? CMD_BAD_CHECKSUM : CMD_REMOTE_TIMEOUT;
  std::vector<uint8_t> frame = NewFrame(cmd, Text("1"));
  TranscriptEntry info;
  info.kind = "frame";
  info.cmd = cmd;
  info.id = lastTxId_;
  info.len = 1;
  info.fault = badChecksum ? "answer-bad-checksum" : "answer-remote-timeout";
  Push(std::move(frame), now, std::move(info));
}

void SimEngine::PushNoise(uint64_t due) {
  const FaultOptions& f = options_.faults;
  if (f.noise == 0) return;
  std::vector<uint8_t> noise;
  std::uniform_int_distribution<int> byteDist(0, 254);
  for (uint32_t i = 0; i < f.noise; ++i) {
    int value = byteDist(random_);
    if (value >= START_MARK) ++value;  // never a start mark
    noise.push_back(static_cast<uint8_t>(value));
  }
  TranscriptEntry noiseInfo;
  noiseInfo.kind = "noise";
  noiseInfo.fault = "noise";
  Push(std::move(noise), due, std::move(noiseInfo));
}

bool SimEngine::Dropped(uint32_t number) const {
  const FaultOptions& f = options_.faults;
  return number == f.dropNth || (f.dropEvery != 0 && number % f.dropEvery == 0);
}

namespace {

// The count as the readout's display shows it, "(N)". Built by appending:
// g++ 12 warns falsely (-Wrestrict) about "(" + std::string at -O2.
std::string ShownCount(size_t count) {
  std::string text = "(";
  text += std::to_string(count);
  text += ')';
  return text;
}

}  // namespace

void SimEngine::EmitAnswer(std::vector<uint8_t> frame, uint32_t number, uint64_t now) {
  const FaultOptions& f = options_.faults;
  PacketHeader header;
  std::copy(frame.begin(), frame.begin() + HEADER_SIZE, header.bytes.begin());
  TranscriptEntry info;
  info.dir = "tx";
  info.kind = "frame";
  info.cmd = header.Command();
  info.id = header.Id();
  info.len = header.Length();

  if (Dropped(number)) {
    info.kind = "dropped";
    info.fault = number == f.dropNth ? "drop-nth" : "drop-every";
    info.hex = ToHex(frame.data(), frame.size());
    Record(std::move(info), now);
    return;
  }
  if (number == f.corruptChecksum) {
    frame[2] = static_cast<uint8_t>(frame[2] ^ 0x5A);
    info.fault = "corrupt-checksum";
    info.checksumOk = false;
  }
  if (f.oversizeHeader && !oversizeSent_) {
    oversizeSent_ = true;
    std::vector<uint8_t> big = EncodeFrame(CMD_LOG, 0, nullptr, 0);
    big[4] = static_cast<uint8_t>(OVERSIZE_LENGTH & 0xFF);
    big[5] = static_cast<uint8_t>(OVERSIZE_LENGTH >> 8);
    TranscriptEntry bigInfo;
    bigInfo.kind = "raw";
    bigInfo.cmd = CMD_LOG;
    bigInfo.len = OVERSIZE_LENGTH;
    bigInfo.fault = "oversize-header";
    Push(std::move(big), now, std::move(bigInfo));
  }
  PushNoise(now);
  if (number == f.stallMidPacket) {
    frame.resize(frame.size() / 2);
    info.kind = "partial";
    info.fault = "stall-mid-packet";
    Push(std::move(frame), now, std::move(info));
    return;
  }
  if (f.splitWrites && frame.size() > 1) {
    std::uniform_int_distribution<size_t> cutDist(1, frame.size() - 1);
    size_t cut1 = cutDist(random_);
    size_t cut2 = cutDist(random_);
    if (cut2 < cut1) std::swap(cut1, cut2);
    size_t cuts[] = {0, cut1, cut2, frame.size()};
    uint64_t due = now;
    for (size_t i = 0; i + 1 < 4; ++i) {
      if (cuts[i + 1] == cuts[i]) continue;
      TranscriptEntry piece = info;
      piece.kind = "partial";
      piece.fault = "split-writes";
      Push(std::vector<uint8_t>(frame.begin() + static_cast<long>(cuts[i]),
                                frame.begin() + static_cast<long>(cuts[i + 1])),
           due, std::move(piece));
      due += SPLIT_GAP_MS;
    }
    return;
  }
  Push(std::move(frame), now, std::move(info));
}

bool SimEngine::Answer(const ReceivedPacket& p, uint16_t* cmd, std::vector<uint8_t>* data) {
  switch (p.command) {
    case CMD_TEST:
      // The readout echoes the test packet with its own code and the same data.
      *cmd = CMD_TEST;
      *data = std::vector<uint8_t>(p.data, p.data + p.dataCount);
      return true;
    case CMD_FILE_SEND_START:
    case CMD_FILE_CHUNK:
    case CMD_FILE_SEND_END:
      return FileSend(p, cmd, data);
    case CMD_FILE_GET_START:
    case CMD_FILE_GET_DATA:
      return FileGet(p, cmd, data);
    case CMD_NLEC_SEND_START:
    case CMD_NLEC_LINE:
    case CMD_NLEC_SEND_END:
      return NlecSend(p, cmd, data);
    case CMD_NLEC_GET_START:
    case CMD_NLEC_GET_LINE:
      return NlecGet(p, cmd, data);
    default:
      return false;
  }
}


void SimEngine::SendUnasked(uint64_t now) {
  unaskedSent_ = true;
  unaskedDue_ = false;
  auto send = [&](uint16_t cmd, const std::string& text) {
    std::vector<uint8_t> frame = NewFrame(cmd, Text(text));
    TranscriptEntry info;
    info.kind = "frame";
    info.cmd = cmd;
    info.id = lastTxId_;
    info.len = static_cast<int>(text.size());
    Push(std::move(frame), now, std::move(info));
  };
  for (const std::string& text : options_.sendLog) send(CMD_LOG, text);
  if (options_.sendEraseResult) send(CMD_FLASH_ERASE_RESULT, *options_.sendEraseResult);
  if (options_.sendNop) send(CMD_NOP, "");
  if (options_.logRate > 0 && !logStreaming_) {
    logStreaming_ = true;
    logStart_ = now;
  }
}

// --- bootloader side ---------------------------------------------------------

void SimEngine::ReceiveBoot(const uint8_t* data, size_t count, uint64_t now, bool afterGap) {
  TranscriptEntry rx;
  rx.dir = "rx";
  rx.kind = "raw";
  rx.hex = ToHex(data, count);
  Record(std::move(rx), now);

  // Bytes after a pause begin a new image (or the erase command): the readout
  // is back in its bootloader menu and counts from 0 again.
  if (afterGap && !image_.empty()) {
    eraseCandidate_ = false;
    SaveImage();  // the last image is on file before the new one replaces it
    image_.clear();
    expectReached_ = false;
    shown_ = false;
    shownCount_ = 0;
    Notice("a new image begins");
  }
  image_.insert(image_.end(), data, data + count);
  imageDirty_ = true;
  // 07 06 as the first bytes of an image, followed by silence, is the erase
  // command; the same two bytes followed at once by more are image data. Until
  // that is decided the display waits, even after the 07 alone.
  eraseCandidate_ = options_.eraseDetect && image_.size() <= 2 && image_[0] == 0x07 &&
                    (image_.size() == 1 || image_[1] == 0x06);
  if (eraseCandidate_) eraseDecideAt_ = now + options_.eraseQuietMs;
  if (options_.expectSize != 0 && !expectReached_ && image_.size() >= options_.expectSize) {
    expectReached_ = true;
    SaveImage();
    // The final count is shown at once, not at the next display period.
    shown_ = true;
    shownCount_ = image_.size();
    lastShownAt_ = now;
    if (display_) display_(ShownCount(shownCount_));
  }
}

bool SimEngine::SaveImage() {
  if (options_.saveImage.empty() || !imageDirty_) return true;
  imageDirty_ = false;
  std::string temp = options_.saveImage + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(image_.data()), static_cast<std::streamsize>(image_.size()));
    if (!out) return false;
  }
  std::error_code error;
  std::filesystem::rename(temp, options_.saveImage, error);
  return !error;
}

void SimEngine::Poll(uint64_t now) {
  if (unaskedDue_ && now >= unaskedAt_) SendUnasked(now);
  StreamLogs(now);
  if (options_.mode != SimMode::BOOT) return;

  if (eraseCandidate_ && now >= eraseDecideAt_) {
    eraseCandidate_ = false;
    if (image_.size() == 2) {  // else a lone 07, which is image data
      image_.clear();
      imageDirty_ = false;
      ++erases_;
      Notice("erasing user storage");
      EmitEraseAnswer(now, now + options_.eraseDelayMs);
    }
  }
  if (!eraseCandidate_ && image_.size() != shownCount_ &&
      (!shown_ || now - lastShownAt_ >= DISPLAY_PERIOD_MS)) {
    shown_ = true;
    shownCount_ = image_.size();
    lastShownAt_ = now;
    if (display_) display_(ShownCount(shownCount_));
  }
  if (imageDirty_ && !eraseCandidate_ && now - lastRxAt_ >= IMAGE_SAVE_QUIET_MS) SaveImage();
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
    info.kind = "dropped";
    info.fault = number == f.dropNth ? "drop-nth" : "drop-every";
    info.hex = ToHex(answer.data(), answer.size());
    Record(std::move(info), now);
    return;
  }
  if (number == f.corruptChecksum) {
    answer[1] = static_cast<uint8_t>(answer[1] ^ 0x5A);
    info.fault = "corrupt-checksum";
  }
  PushNoise(due);
  if (number == f.stallMidPacket) {
    answer.resize(1);
    info.kind = "partial";
    info.fault = "stall-mid-packet";
  }
  if (f.splitWrites && answer.size() == 2) {
    info.kind = "partial";
    info.fault = "split-writes";
    Push({answer[0]}, due, info);
    Push({answer[1]}, due + SPLIT_GAP_MS, std::move(info));
    return;
  }
  Push(std::move(answer), due, std::move(info));
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
    // The display and the file wait for the erase decision.
    if (eraseCandidate_) {
      take(eraseDecideAt_);
    } else {
      if (image_.size() != shownCount_) take(lastShownAt_ + DISPLAY_PERIOD_MS);
      if (imageDirty_ && !options_.saveImage.empty()) take(lastRxAt_ + IMAGE_SAVE_QUIET_MS);
    }
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

}  // namespace quillon::sim
