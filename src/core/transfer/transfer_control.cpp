// What the four transfers share: their files, the start sequence, the
// routing of the readout's answers (with repeats told apart), the stop and
// the ends that come from the link (give-up, a lost port).
#include "core/transfer/transfer_control.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/host.h"
#include "core/jobs.h"
#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/transfer/part_file.h"
#include "core/transfer/private_dir.h"

namespace quillon {

namespace fs = std::filesystem;

bool TransferFile::Open(const std::string& name, const char* mode) {
  file_.reset(std::fopen(name.c_str(), mode));
  if (!file_) return false;
  path = name;
  writing_ = mode[0] != 'r';
  return true;
}

void TransferFile::Adopt(std::FILE* file, const std::string& name) {
  file_.reset(file);
  path = name;
  writing_ = true;
}

bool TransferFile::Close() {
  std::FILE* f = file_.release();
  if (!f) return true;
  // Only a stream open for writing has anything to flush.
  bool ok = !writing_ || (std::fflush(f) == 0 && std::ferror(f) == 0);
  return std::fclose(f) == 0 && ok;
}

Transfers::Transfers(PacketLink& packets, EventLog& log, Host& host, EngineObserver& observer)
    : packets_(packets), log_(log), host_(host), observer_(observer) {
  // A run killed during a bitmap send could not remove its directory.
  RemoveLeftPrivateDirs(host_, [this](const std::string& line) { log_.Add(line); });
}

Transfers::~Transfers() {
  CloseNlecFile();
  CloseDataFile();
  if (!privateDir_.empty()) {
    std::error_code ignored;
    fs::remove_all(privateDir_, ignored);
  }
}

bool Transfers::Active() const { return packets_.state.transferActive.load(); }

std::string Transfers::PrivateDir() {
  if (privateDir_.empty()) privateDir_ = MakePrivateDir(host_);
  return privateDir_;
}

StartResult Transfers::OpenSource(TransferFile& file, const std::string& path) {
  std::error_code error;
  fs::file_status status = fs::status(path, error);
  if (error) return StartResult::Refused(path + ": " + error.message());
  // A device or a pipe would be read for ever.
  if (!fs::is_regular_file(status)) return StartResult::Refused(path + " is not a regular file");
  uintmax_t size = fs::file_size(path, error);
  if (error) return StartResult::Refused(path + ": " + error.message());
  if (size > static_cast<uintmax_t>(INT32_MAX)) {
    return StartResult::Refused(path + " is too large: " + std::to_string(size) +
                                " bytes, at most 2147483647 can be announced");
  }
  if (!file.Open(path, "rb")) return StartResult::Refused(path + ": " + std::strerror(errno));
  file.target.clear();
  return StartResult::Ok();
}

StartResult Transfers::OpenPart(TransferFile& file, const std::string& path) {
  std::error_code error;
  if (fs::is_directory(path, error)) return StartResult::Refused(path + " is a directory");
  const std::string target = ReplacedFile(path);
  if (target.empty()) return StartResult::Refused(path + ": too many levels of symbolic links");
  std::string part, why, note;
  std::FILE* created = CreatePartFile(host_, target, &part, &why, &note);
  if (!note.empty()) log_.Add(note);
  if (!created) return StartResult::Refused(why);
  file.Adopt(created, part);
  file.target = target;
  announced_ = -1;
  received_ = 0;
  return StartResult::Ok();
}

std::string Transfers::AbandonReceive(TransferFile& file) {
  if (!file.IsOpen() || file.target.empty()) return {};
  file.target.clear();
  file.Close();
  std::error_code error;
  if (fs::file_size(file.path, error) == 0 && !error) {
    fs::remove(file.path, error);
    return {};
  }
  LogLine(log_, 0, "The part received so far is kept in %s.", file.path.c_str());
  return file.path;
}

void Transfers::PrepareFileStart(FileKind kind) {
  session_.kind = kind;
  CloseDataFile();
}

void Transfers::CloseDataFile() {
  if (!dataFile_.IsOpen()) return;
  AbandonReceive(dataFile_);
  dataFile_.Close();
  // Only a bitmap send has its own intermediate file to clean up.
  if (session_.kind == FILE_KIND_BITMAP && !privateDir_.empty()) {
    std::error_code ignored;
    fs::remove(fs::path(privateDir_) / BITMAP_FILE_NAME, ignored);
  }
}

void Transfers::CloseNlecFile() {
  AbandonReceive(nlecFile_);
  nlecFile_.Close();
}

void Transfers::BeginTransfer(Job job) {
  packets_.state.totalRetryCount.store(0);
  packets_.state.transferActive.store(true);
  session_.startTick = host_.TickCount();
  session_.job = job;
  lastAnswer_ = LastAnswer{};
}

void Transfers::End(JobEnd end) {
  session_.job = Job::NONE;
  observer_.OnJobEnd(end);
}

void Transfers::Halt(JobEnd end) {
  const std::string nlecPart = AbandonReceive(nlecFile_);
  if (!nlecPart.empty()) end.keptPart = nlecPart;
  CloseNlecFile();
  if (dataFile_.IsOpen() && !dataFile_.target.empty()) end.keptPart = AbandonReceive(dataFile_);
  packets_.state.transferActive.store(false);
  packets_.state.linkState.store(LINK_IDLE);
  log_.Add("Nlec transfer halted.");
  End(end);
  observer_.OnProgress({ProgressEvent::DESTROY});
}

void Transfers::Stop() {
  JobEnd end;
  end.job = session_.job;
  end.outcome = Outcome::INTERRUPTED;
  end.cause = Cause::STOPPED;
  end.reason = "stopped";
  end.bytes = received_;
  Halt(end);
}

void Transfers::Fail(Cause cause, const std::string& reason) {
  // The files stay for the next start of their family, except a receive,
  // which keeps its part.
  JobEnd end;
  end.job = session_.job;
  end.outcome = Outcome::FAILED;
  end.cause = cause;
  end.reason = reason;
  end.bytes = received_;
  end.keptPart = AbandonReceive(dataFile_);
  std::string nlecPart = AbandonReceive(nlecFile_);
  if (!nlecPart.empty()) end.keptPart = nlecPart;
  packets_.state.transferActive.store(false);
  packets_.state.linkState.store(LINK_IDLE);
  observer_.OnProgress({ProgressEvent::DESTROY});
  End(end);
}

void Transfers::OnGiveUp() { Fail(Cause::RETRY_EXCEEDED, "no answer from the readout"); }

void Transfers::OnPortLost() {
  if (Active()) Fail(Cause::PORT_LOST, "the readout's port went away (unplugged?)");
}

bool Transfers::IsRepeatedAnswer(const ReceivedPacket& packet) {
  // When the host resent its packet because the answer was late, the
  // readout may answer both copies: the same packet (same id, same data)
  // comes twice, and acting on both would write a piece twice or skip one.
  // Equal answers without such a resend are ordinary (128 bytes of FF twice).
  const uint8_t* data = packet.data;
  const size_t count = static_cast<size_t>(std::clamp<int32_t>(packet.dataCount, 0, MAX_DATA));
  // A readout whose ids have varied during this transfer tells a repeat by
  // its id. One that always uses the same id may send the genuine answer to
  // the next packet equal to the last ("1" again): that one is acted on (a
  // send's final checksum guards it), except a piece of data to be written,
  // where writing a repeat would corrupt the file unseen while dropping a
  // genuine piece at worst ends the transfer at the retry limit.
  LastAnswer& last = lastAnswer_;
  if (last.seen && packet.id != last.id) last.idsVaried = true;
  const bool written = packet.command == RS232_FILE_GET_DATA || packet.command == RS232_NLEC_GET_LINE;
  if ((last.idsVaried || written) && last.mayRepeat && packet.command == last.command &&
      packet.id == last.id &&
      std::equal(data, data + count, last.data.begin(), last.data.end())) {
    return true;
  }
  last.seen = true;
  last.mayRepeat = packets_.state.resendFlag != 0;
  last.command = packet.command;
  last.id = packet.id;
  last.data.assign(data, data + count);
  return false;
}

void Transfers::OnTransferPacket(ReceivedPacket& packet) {
  if (IsRepeatedAnswer(packet)) {
    LogLine(log_, 0, "Repeated answer Id=%d, Cmd=%d ignored.", static_cast<int>(packet.id),
            static_cast<int>(packet.command));
    ResumeAnswerWait(packets_);
    return;
  }
  switch (packet.command) {
    case RS232_FILE_SEND_START:
    case RS232_FILE_CHUNK:
      HandleFileChunkRequest();
      break;
    case RS232_FILE_SEND_END:
      HandleFileSendResult(packet);
      break;
    case RS232_FILE_ERROR:
      HandleFileError(packet);
      break;
    case RS232_FILE_GET_START:
      HandleFileSize(packet);
      break;
    case RS232_FILE_GET_DATA:
      HandleFileData(packet);
      break;
    case RS232_FILE_GET_END:
      HandleFileEnd();
      break;
    case RS232_NLEC_SEND_START:
    case RS232_NLEC_LINE:
      HandleNlecLineRequest();
      break;
    case RS232_NLEC_SEND_END:
      HandleNlecSendResult(packet);
      break;
    case RS232_NLEC_ERROR:
      HandleNlecError();
      break;
    case RS232_NLEC_GET_START:
      HandleNlecLineCount(packet);
      break;
    case RS232_NLEC_GET_LINE:
      HandleNlecLine(packet, false);
      break;
    case RS232_NLEC_GET_END:
      HandleNlecLine(packet, true);
      break;
    default:
      break;
  }
}

}  // namespace quillon
