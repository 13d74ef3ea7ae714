// File receive: the settings or a program from the readout, piece by piece,
// each acknowledged. The data goes into a part file of its own beside the
// destination (part_file.h) and takes the destination's place only when the
// readout's end arrived and the byte count matches the size it announced.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/jobs.h"
#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/transfer/part_file.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

namespace {

// Packet data read as a decimal number: leading blanks and a sign allowed,
// reading stops at the first other character, no digits give 0.
long DecimalValue(const ReceivedPacket& packet) {
  size_t count = static_cast<size_t>(std::clamp<int32_t>(packet.dataCount, 0, MAX_DATA));
  std::string text(reinterpret_cast<const char*>(packet.data), count);
  return std::strtol(text.c_str(), nullptr, 10);
}

}  // namespace

StartResult Transfers::StartFileReceive(FileKind kind, const std::string& path,
                                        const std::string& programName,
                                        const std::string& logText) {
  PrepareFileStart(kind);
  // The readout's field holds 63 characters; a longer name would be cut there.
  if (kind == FILE_KIND_PROGRAM && programName.size() > PROGRAM_NAME_MAX) {
    return StartResult::Refused("the program name is longer than 63 characters");
  }
  StartResult opened = OpenPart(dataFile_, path);
  if (!opened) return opened;
  BeginTransfer(Job::FILE_RECEIVE);
  log_.Add(logText);
  std::string request = std::to_string(static_cast<int>(kind));
  if (kind == FILE_KIND_PROGRAM) request += programName;
  RS232_SendText(packets_, RS232_FILE_GET_START, request);
  return StartResult::Ok();
}

void Transfers::HandleFileSize(ReceivedPacket& packet) {
  int32_t size = static_cast<int32_t>(DecimalValue(packet));
  if (dataFile_.IsOpen() && !dataFile_.target.empty()) announced_ = size;
  observer_.OnProgress({ProgressEvent::CREATE, static_cast<uint32_t>(size), true});
  RS232_SendText(packets_, RS232_FILE_GET_DATA, "1");
}

void Transfers::HandleFileData(ReceivedPacket& packet) {
  // A piece with no receive file open (after an error or a stop) is not ours.
  if (!dataFile_.IsOpen() || dataFile_.target.empty()) {
    ResumeAnswerWait(packets_);
    return;
  }
  size_t count = static_cast<size_t>(std::clamp<int32_t>(packet.dataCount, 0, MAX_DATA));
  if (count > 0) std::fwrite(packet.data, 1, count, dataFile_.Get());
  received_ += count;
  RS232_SendText(packets_, RS232_FILE_GET_DATA, std::to_string(static_cast<int>(session_.kind)));
  if (count > 1) observer_.OnProgress({ProgressEvent::ADVANCE, static_cast<uint32_t>(count), false});
}

void Transfers::HandleFileEnd() {
  // An end with no receive under way would report a file that never came.
  if (!dataFile_.IsOpen() || dataFile_.target.empty()) {
    ResumeAnswerWait(packets_);
    return;
  }
  JobEnd end;
  end.job = Job::FILE_RECEIVE;
  end.bytes = received_;
  end.expected = announced_ >= 0 ? static_cast<uint64_t>(announced_) : received_;
  const std::string part = dataFile_.path;
  const std::string target = dataFile_.target;
  dataFile_.target.clear();
  // A file the disk did not take whole (full, removed) is not received.
  bool written = dataFile_.Close();
  if (!written) {
    end.cause = Cause::WRITE_FAILED;
    end.reason = "the received data could not be written to " + part;
  } else if (announced_ >= 0 && received_ != static_cast<uint64_t>(announced_)) {
    end.cause = Cause::SIZE_MISMATCH;
    end.reason = "received " + std::to_string(received_) + " bytes, the readout announced " +
                 std::to_string(announced_);
  } else {
    std::string note;
    if (!CommitPartFile(part, target, &end.reason, &note)) end.cause = Cause::WRITE_FAILED;
    if (!note.empty()) log_.Add(note);
  }
  if (end.cause != Cause::NONE) {
    end.outcome = Outcome::FAILED;
    end.keptPart = part;
    LogLine(log_, 0, "The part received so far is kept in %s.", part.c_str());
  }
  packets_.state.transferActive.store(false);
  observer_.OnProgress({ProgressEvent::DESTROY});
  End(end);
}

}  // namespace quillon
