// NLEC tables: a text file sent line by line with a character checksum
// compared at the end, and the readout's table fetched line by line.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/host.h"
#include "core/jobs.h"
#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/transfer/part_file.h"
#include "core/transfer/text_file.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

namespace {

constexpr size_t CHECKSUM_TEXT_MAX = 128;

size_t DataCount(const ReceivedPacket& packet) {
  return static_cast<size_t>(std::clamp<int32_t>(packet.dataCount, 0, MAX_DATA));
}

long DecimalValue(const ReceivedPacket& packet) {
  std::string text(reinterpret_cast<const char*>(packet.data), DataCount(packet));
  return std::strtol(text.c_str(), nullptr, 10);
}

}  // namespace

StartResult Transfers::StartNlecSend(const std::string& path) {
  CloseNlecFile();
  cancel_.store(false);
  StartResult opened = OpenSource(nlecFile_, path);
  if (!opened) return opened;
  if (!ComputeSumAndCount(nlecFile_, true)) {
    CloseNlecFile();
    return StartResult::Refused("interrupted while reading " + path);
  }
  // The 16-bit strip carries the count modulo 65536.
  observer_.OnProgress({ProgressEvent::CREATE, static_cast<uint16_t>(nlecFile_.count), false});
  log_.Add("Sending NLEC...");
  received_ = inFlight_ = 0;
  BeginTransfer(Job::NLEC_SEND);
  RS232_SendText(packets_, RS232_NLEC_SEND_START, std::to_string(nlecFile_.sum));
  return StartResult::Ok();
}

StartResult Transfers::StartNlecGet(const std::string& path) {
  CloseNlecFile();
  StartResult opened = OpenPart(nlecFile_, path);
  if (!opened) return opened;
  BeginTransfer(Job::NLEC_GET);
  log_.Add("Getting NLEC...");
  RS232_SendText(packets_, RS232_NLEC_GET_START, "1");
  return StartResult::Ok();
}

void Transfers::FinishNlec(Job job, Outcome outcome, Cause cause, const std::string& keptPart) {
  JobEnd end;
  end.elapsedMs = host_.TickCount() - session_.startTick;
  char logText[80] = "NLEC Transfer error.";
  if (cause == Cause::NONE) {
    std::snprintf(logText, sizeof logText, "NLEC Transfer completed in %d seconds.",
                  static_cast<int>(end.elapsedMs / 1000u));
  } else if (cause == Cause::CHECKSUM_MISMATCH) {
    std::snprintf(logText, sizeof logText, "Nlec Checksum Failure.");
  }
  // An NLEC end is reported even when it comes after the session.
  end.job = session_.job != Job::NONE ? session_.job : job;
  end.outcome = outcome;
  end.cause = cause;
  end.keptPart = keptPart;
  if (cause != Cause::NONE)
    end.reason =
        cause == Cause::WRITE_FAILED ? "the table could not be written to " + keptPart : logText;
  // A readout's NLEC result in the middle of a file transfer is no result of
  // that transfer: it ends it as failed, and a receive keeps its part.
  if (end.job == Job::FILE_SEND || end.job == Job::FILE_RECEIVE) {
    end.outcome = Outcome::FAILED;
    end.cause = Cause::READOUT_ERROR;
    end.reason = "the readout answered with an NLEC result during a file transfer";
    end.readoutText = logText;
    end.keptPart = AbandonReceive(dataFile_);
  }
  end.bytes = received_;
  end.expected = announced_ >= 0 ? static_cast<uint64_t>(announced_) : 0;
  packets_.state.transferActive.store(false);
  log_.Add(logText);
  observer_.OnProgress({ProgressEvent::DESTROY});
  End(end);
}

void Transfers::HandleNlecLineRequest() {
  if (!nlecFile_.IsOpen() || !nlecFile_.target.empty()) {
    ResumeAnswerWait(packets_);
    return;
  }
  std::string piece;
  if (ReadTextPiece(nlecFile_.Get(), NLEC_PIECE_MAX, piece)) {
    // The readout takes text: a NUL ends the piece.
    piece.resize(std::min(piece.size(), piece.find('\0')));
    RS232_SendPacket(packets_, RS232_NLEC_LINE, reinterpret_cast<const uint8_t*>(piece.data()),
                     static_cast<uint16_t>(piece.size()));
    if (!piece.empty()) observer_.OnProgress({ProgressEvent::ADVANCE, static_cast<uint32_t>(piece.size()), false});
    received_ += inFlight_;
    inFlight_ = piece.size();
    return;
  }
  received_ += inFlight_;
  inFlight_ = 0;
  RS232_SendText(packets_, RS232_NLEC_SEND_END, "1");
  CloseNlecFile();
}

void Transfers::HandleNlecSendResult(ReceivedPacket& packet) {
  bool match = false;
  if (packet.length < CHECKSUM_TEXT_MAX) {
    long value = DecimalValue(packet);
    match = static_cast<uint16_t>(static_cast<unsigned long>(value) & 0xFFFFu) == nlecFile_.sum;
  }
  if (match) {
    FinishNlec(Job::NLEC_SEND, Outcome::DONE, Cause::NONE, "");
  } else {
    FinishNlec(Job::NLEC_SEND, Outcome::FAILED, Cause::CHECKSUM_MISMATCH, "");
  }
}

void Transfers::HandleNlecError() {
  const bool active = packets_.state.transferActive.load();
  JobEnd end;
  end.job = session_.job;
  end.keptPart = AbandonReceive(nlecFile_);
  CloseNlecFile();
  log_.Add("NLEC Transfer error.");
  observer_.OnProgress({ProgressEvent::DESTROY});
  // With nothing running there is nothing to end. Otherwise the error ends
  // the session as the stop command would, reported once, as the error.
  if (!active) return;
  end.outcome = Outcome::FAILED;
  end.cause = Cause::NLEC_ERROR;
  end.reason = "the readout reported an NLEC error";
  end.bytes = received_;
  Halt(end);
}

void Transfers::HandleNlecLineCount(ReceivedPacket& packet) {
  long lines = DecimalValue(packet);
  if (nlecFile_.IsOpen() && !nlecFile_.target.empty()) announced_ = lines;
  observer_.OnProgress(
      {ProgressEvent::CREATE, static_cast<uint16_t>(static_cast<unsigned long>(lines) & 0xFFFFu), false});
  RS232_SendText(packets_, RS232_NLEC_GET_LINE, "1");
}

void Transfers::HandleNlecLine(ReceivedPacket& packet, bool last) {
  if (!nlecFile_.IsOpen() || nlecFile_.target.empty()) {
    ResumeAnswerWait(packets_);
    return;
  }
  // One line, up to a NUL, with its line end. A line longer than a packet
  // comes as the host sends one, in pieces of 511 characters and a shorter
  // (maybe empty) last piece: a full piece is continued by the next packet.
  size_t count = DataCount(packet);
  size_t length = static_cast<size_t>(std::find(packet.data, packet.data + count, 0) - packet.data);
  WriteText(nlecFile_.Get(), reinterpret_cast<const char*>(packet.data), length);
  const bool continued = !last && length == NLEC_PIECE_MAX;
  if (!continued) {
    WriteText(nlecFile_.Get(), "\n", 1);
    ++received_;
  }
  if (!last) {
    RS232_SendText(packets_, RS232_NLEC_GET_LINE, "1");
    if (!continued) observer_.OnProgress({ProgressEvent::ADVANCE, 1, false});
    return;
  }
  const std::string part = nlecFile_.path;
  const std::string target = nlecFile_.target;
  nlecFile_.target.clear();
  // A table the disk did not take whole must not be reported as received.
  bool written = nlecFile_.Close();
  std::string why, note;
  bool placed = written && CommitPartFile(part, target, &why, &note);
  if (!note.empty()) log_.Add(note);
  if (!why.empty()) log_.Add(why);
  if (!placed) {
    LogLine(log_, 0, "The part received so far is kept in %s.", part.c_str());
    FinishNlec(Job::NLEC_GET, Outcome::FAILED, Cause::WRITE_FAILED, part);
    return;
  }
  FinishNlec(Job::NLEC_GET, Outcome::DONE, Cause::NONE, "");
}

}  // namespace quillon
