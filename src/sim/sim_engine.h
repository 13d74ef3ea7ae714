// The readout's side of the line, free of any device: bytes in, timed byte
// chunks out. The line loop (sim_line.h) and the unit tests drive it with
// their own clocks (milliseconds from the start).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "sim/sim_options.h"
#include "sim/transcript.h"

namespace quillon::sim {

// Command codes as the readout sees them.
enum : uint16_t {
  CMD_BAD_CHECKSUM = 1,
  CMD_REMOTE_TIMEOUT = 2,
  CMD_LOG = 3,
  CMD_NLEC_SEND_START = 5,
  CMD_NLEC_LINE = 6,
  CMD_NLEC_SEND_END = 7,
  CMD_NLEC_ERROR = 8,
  CMD_FILE_SEND_START = 10,
  CMD_FILE_CHUNK = 11,
  CMD_FILE_SEND_END = 12,
  CMD_FILE_ERROR = 13,
  CMD_FLASH_ERASE_RESULT = 15,
  CMD_NLEC_GET_START = 16,
  CMD_NLEC_GET_LINE = 17,
  CMD_NLEC_GET_END = 18,
  CMD_TEST = 19,
  CMD_FILE_GET_START = 20,
  CMD_FILE_GET_DATA = 21,
  CMD_FILE_GET_END = 22,
  CMD_NOP = 23,
};

// One write for the line, not before `due`.
struct OutChunk {
  std::vector<uint8_t> bytes;
  uint64_t due = 0;
  TranscriptEntry info;  // dir/kind/cmd/id/len/fault; t and hex filled when written
};

// What the readout answers a packet with, before it is framed.
struct Reply {
  Reply(uint16_t command, std::vector<uint8_t> bytes) : cmd(command), data(std::move(bytes)) {}
  Reply(uint16_t command, const std::string& text) : cmd(command), data(text.begin(), text.end()) {}
  uint16_t cmd;
  std::vector<uint8_t> data;
};

// One class, its parts in files by responsibility: the clock's entry points
// and the out queue (sim_engine.cpp), the packet side (sim_packets.cpp), the
// dialogues behind it (sim_dialogues.cpp), the answers and their faults
// (sim_answers.cpp), the bootloader (sim_boot.cpp), the log stream
// (sim_log_stream.cpp).
class SimEngine {
 public:
  // transcript may be null.
  SimEngine(SimOptions options, Transcript* transcript);

  void Start(uint64_t now);
  void Receive(const uint8_t* data, size_t count, uint64_t now);
  // Runs what is due by time: erase detection, the erase answer, unasked
  // packets, the display and the image file.
  void Poll(uint64_t now);
  // The earliest time at which Poll or TakeDue has something to do.
  std::optional<uint64_t> NextDeadline() const;
  // Chunks due by now, in order.
  std::vector<OutChunk> TakeDue(uint64_t now);
  // Everything queued, due or not (tests).
  std::vector<OutChunk> TakeAll();
  // The line has put the last byte of a taken chunk on the wire.
  void Sent(uint64_t now);
  // Writes the image file if anything changed (also called at the end).
  bool SaveImage();

  bool ExpectReached() const { return expectReached_; }
  uint64_t ImageBytes() const { return image_.size(); }
  int Erases() const { return erases_; }
  // The display line of the bootloader ("(N)") goes here when it changes.
  void SetDisplay(std::function<void(const std::string&)> display) {
    display_ = std::move(display);
  }
  // Messages for the person watching (stored files, errors).
  void SetNotice(std::function<void(const std::string&)> notice) { notice_ = std::move(notice); }

 private:
  enum class Dialogue { NONE, FILE_SEND, FILE_GET, NLEC_SEND, NLEC_GET };

  // The out queue and the record (sim_engine.cpp).
  void Push(std::vector<uint8_t> bytes, uint64_t due, TranscriptEntry info);
  void Record(TranscriptEntry entry, uint64_t now);
  void RecordReceivedRaw(const uint8_t* data, size_t count, uint64_t now);
  void Notice(const std::string& text);
  // A frame of the readout's, its id chosen by --answer-ids.
  std::vector<uint8_t> NewFrame(const Reply& reply);

  // Packet side (sim_packets.cpp).
  void ReceiveApp(const uint8_t* data, size_t count, uint64_t now);
  void HandlePacket(const ReceivedPacket& packet, uint64_t now);
  void RecordReceivedFrame(const ReceivedPacket& packet, uint64_t now);
  // The host sent the packet just answered again, soon enough to be a resend.
  bool IsResend(const ReceivedPacket& packet, uint64_t now) const;
  void RememberAnswer(const ReceivedPacket& packet, std::vector<uint8_t> frame, uint64_t now);
  // The answer for a good packet; none when it calls for none.
  std::optional<Reply> AnswerTo(const ReceivedPacket& packet);
  // Sends the configured unasked packets now.
  void SendUnasked(uint64_t now);
  // One packet the readout sends of its own accord (also the log stream's).
  void PushUnasked(uint16_t cmd, const std::string& text, uint64_t now);

  // The dialogues and the store behind them (sim_dialogues.cpp).
  Reply FileSend(const ReceivedPacket& p);
  Reply FileGet(const ReceivedPacket& p);
  Reply NlecSend(const ReceivedPacket& p);
  Reply NlecGet(const ReceivedPacket& p);
  bool WriteStoreFile(const std::string& name, const std::vector<uint8_t>& content);
  bool ReadStoreFile(const std::string& name, std::vector<uint8_t>* content);

  // The answers as the faults shape them (sim_answers.cpp).
  void EmitAnswer(std::vector<uint8_t> frame, uint32_t number, uint64_t now);
  // Code 1 or 2 instead of the answer (the answer faults of those names).
  void EmitTrouble(bool badChecksum, uint64_t now);
  // The erase's answer, shaped by the answer faults as a packet's would be.
  void EmitEraseAnswer(uint64_t now, uint64_t due);
  bool Dropped(uint32_t number) const;
  // An answer the drop faults keep off the line: in the transcript only.
  void RecordDropped(TranscriptEntry info, const std::vector<uint8_t>& bytes, uint32_t number,
                     uint64_t now);
  void PushOversizeHeader(uint64_t now);
  void PushNoise(uint64_t due);
  void PushSplit(const std::vector<uint8_t>& frame, uint64_t now, const TranscriptEntry& info);

  // Bootloader side (sim_boot.cpp).
  void ReceiveBoot(const uint8_t* data, size_t count, uint64_t now, bool afterGap);
  void StartNewImage();
  void PollBoot(uint64_t now);
  std::optional<uint64_t> NextBootDeadline() const;
  // Shows the count now ("(N)").
  void ShowCount(uint64_t now);

  // The stream of LOG packets at --log-rate (sim_log_stream.cpp): those due
  // by now, and when the next one is.
  void StreamLogs(uint64_t now);
  std::optional<uint64_t> NextLogAt() const;

  SimOptions options_;
  Transcript* transcript_;
  std::function<void(const std::string&)> display_;
  std::function<void(const std::string&)> notice_;
  std::mt19937 random_;
  std::deque<OutChunk> queue_;
  uint64_t lastDue_ = 0;

  // Packet side.
  FrameParser parser_;
  std::vector<uint8_t> rxPending_;  // bytes since the last completed frame
  uint16_t nextId_ = 0;
  uint16_t lastTxId_ = 0;   // the id of the frame NewFrame made last
  uint16_t answering_ = 0;  // the id of the host's packet being answered
  uint32_t answerCount_ = 0;
  bool oversizeSent_ = false;
  bool haveLast_ = false;
  uint16_t lastRxId_ = 0, lastRxCmd_ = 0, lastRxSum_ = 0;
  std::vector<uint8_t> lastAnswer_;
  uint64_t lastAnsweredAt_ = 0;
  uint64_t lastSentAt_ = 0;  // when the line last finished one of our chunks
  bool unaskedDue_ = false;
  uint64_t unaskedAt_ = 0;
  bool unaskedSent_ = false;
  bool logStreaming_ = false;
  uint64_t logStart_ = 0, logsSent_ = 0;

  Dialogue dialogue_ = Dialogue::NONE;
  int sendKind_ = 0;
  std::vector<uint8_t> received_;  // file send / NLEC send content
  std::vector<uint8_t> serving_;   // file get content
  size_t servedOffset_ = 0;
  std::vector<std::string> nlecLines_;
  size_t nlecIndex_ = 0;

  // Bootloader side.
  std::vector<uint8_t> image_;
  bool eraseCandidate_ = false;
  uint64_t eraseDecideAt_ = 0;
  int erases_ = 0;
  uint64_t lastRxAt_ = 0;
  bool imageDirty_ = false;
  bool expectReached_ = false;
  uint64_t shownCount_ = 0;
  uint64_t lastShownAt_ = 0;
  bool shown_ = false;
};

}  // namespace quillon::sim
