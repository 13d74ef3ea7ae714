// File send: a settings, program or bitmap file to the readout in chunks of
// at most 128 bytes, each sent when the readout asks for it, with the
// readout's checksum deciding at the end. Also the readout's file error.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/host.h"
#include "core/jobs.h"
#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/transfer/text_file.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

namespace {

constexpr size_t CHUNK_MAX = 128;
// The listing is scanned in pieces of this many characters at most.
constexpr size_t BITMAP_PIECE_MAX = 1022;
// The checksum pass reads this much at a time and looks for a cancel between.
constexpr size_t SUM_BLOCK = 65536;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Scans one piece; a marker never carries over into the next piece.
void ConvertPiece(const char* text, size_t length, size_t line, std::string& out,
                  BitmapReport* report) {
  int state = 0;
  int high = 0;
  bool skipped = false;  // characters were passed over inside the current value
  bool doubtful = false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    const bool hex = IsHexDigit(static_cast<unsigned char>(c));
    if (state == 0) {
      if (c == 'x') state = 1, skipped = false;
    } else if (!hex) {
      skipped = true;
    } else if (state == 1) {
      high = HexValue(c);
      state = 2;
    } else {
      out.push_back(static_cast<char>(high * 16 + HexValue(c)));
      doubtful = doubtful || skipped;
      state = 0;
    }
  }
  if (!report) return;
  auto warn = [&](const char* what) {
    report->warnings.push_back("line " + std::to_string(line) + ": " + what);
  };
  if (doubtful) warn("a value's digits were taken across other characters");
  if (state != 0) warn("a value cut off by the end of its piece was dropped");
}

}  // namespace

bool IsHexDigit(int c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string ConvertBitmapText(const std::string& text, BitmapReport* report) {
  std::string out;
  size_t at = 0;
  size_t line = 1;
  while (at < text.size()) {
    // A piece is a whole line with its LF, or the next piece-size characters.
    size_t end = at;
    bool lineEnd = false;
    while (end < text.size() && end - at < BITMAP_PIECE_MAX) {
      if (text[end++] == '\n') {
        lineEnd = true;
        break;
      }
    }
    ConvertPiece(text.data() + at, end - at, line, out, report);
    if (lineEnd) ++line;
    at = end;
  }
  if (report) report->bytes = out.size();
  return out;
}

namespace {

// The listing as text: CR LF read as LF, a Ctrl-Z ends it.
bool ReadListing(const std::string& path, std::string* text, std::string* error) {
  TransferFile file;
  if (!file.Open(path, "rb")) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  text->clear();
  for (int c; (c = ReadTextChar(file.Get())) != EOF;) text->push_back(static_cast<char>(c));
  if (std::ferror(file.Get())) {
    *error = path + ": read error";
    return false;
  }
  return true;
}

}  // namespace

bool InspectBitmapListing(const std::string& path, BitmapReport* report, std::string* error) {
  std::string text;
  if (!ReadListing(path, &text, error)) return false;
  ConvertBitmapText(text, report);
  return true;
}

bool Transfers::ComputeSumAndCount(TransferFile& file, bool text) {
  file.sum = 0;
  file.count = 0;
  uint32_t sum = 0;
  int64_t count = 0;
  std::vector<uint8_t> block(SUM_BLOCK);
  for (;;) {
    if (cancel_.exchange(false)) return false;
    size_t n = 0;
    if (text) {
      // NLEC tables are summed as the readout will get them: piece by piece,
      // each cut at a NUL.
      std::string piece;
      for (int i = 0; i < 64 && ReadTextPiece(file.Get(), NLEC_PIECE_MAX, piece); ++i) {
        ++n;
        piece.resize(std::min(piece.size(), piece.find('\0')));
        for (unsigned char c : piece) sum += c;
        count += static_cast<int64_t>(piece.size());
      }
    } else {
      n = std::fread(block.data(), 1, block.size(), file.Get());
      for (size_t i = 0; i < n; ++i) sum += block[i];
      count += static_cast<int64_t>(n);
    }
    if (n == 0) break;
  }
  if (std::ferror(file.Get())) return false;
  file.sum = static_cast<uint16_t>(sum & 0xFFFFu);
  file.count = static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
  std::rewind(file.Get());
  return true;
}

void Transfers::SendFileHeader() {
  char header[48];
  std::snprintf(header, sizeof header, "%d,%d,%d,", static_cast<int>(session_.kind),
                static_cast<int>(dataFile_.sum), static_cast<int>(dataFile_.count));
  RS232_SendText(packets_, RS232_FILE_SEND_START, header);
}

StartResult Transfers::StartFileSend(FileKind kind, const std::string& path,
                                     const std::string& logText) {
  PrepareFileStart(kind);
  std::string source = path;
  if (kind == FILE_KIND_BITMAP) {
    // The listing becomes bitmap.bin in the program's own private directory,
    // never in the user's: that file is then sent like any other.
    std::string text, error;
    if (!ReadListing(path, &text, &error)) return StartResult::Refused(error);
    std::string dir = PrivateDir();
    if (dir.empty()) return StartResult::Refused("no temporary directory for the bitmap");
    source = dir + "/" + BITMAP_FILE_NAME;
    std::string bytes = ConvertBitmapText(text);
    TransferFile out;
    if (!out.Open(source, "wb")) return StartResult::Refused(source + ": " + std::strerror(errno));
    bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), out.Get()) == bytes.size();
    // A bitmap that could not be written whole must not be sent as if it were.
    if (!out.Close() || !written) return StartResult::Refused(source + ": write error");
  }
  cancel_.store(false);
  StartResult opened = OpenSource(dataFile_, source);
  if (!opened) return opened;
  if (!ComputeSumAndCount(dataFile_, false)) {
    CloseDataFile();
    return StartResult::Refused("interrupted while reading " + path);
  }
  observer_.OnProgress({ProgressEvent::CREATE, static_cast<uint32_t>(dataFile_.count), true});
  log_.Add(logText);
  received_ = inFlight_ = 0;
  BeginTransfer(Job::FILE_SEND);
  SendFileHeader();
  return StartResult::Ok();
}

void Transfers::HandleFileChunkRequest() {
  // A request with no file open (after an error or at start-up) is ignored.
  if (!dataFile_.IsOpen() || !dataFile_.target.empty()) {
    ResumeAnswerWait(packets_);
    return;
  }
  received_ += inFlight_;
  uint8_t chunk[CHUNK_MAX];
  size_t n = std::fread(chunk, 1, sizeof chunk, dataFile_.Get());
  inFlight_ = n;
  if (n > 0) {
    RS232_SendPacket(packets_, RS232_FILE_CHUNK, chunk, static_cast<uint16_t>(n));
  } else {
    RS232_SendText(packets_, RS232_FILE_SEND_END, "1");
  }
  // Only a chunk of more than one byte moves the strip; a last chunk of one
  // byte leaves it one short of the count, as users of this tool know it.
  if (n > 1) observer_.OnProgress({ProgressEvent::ADVANCE, static_cast<uint32_t>(n), false});
}

void Transfers::HandleFileSendResult(ReceivedPacket& packet) {
  packets_.state.transferActive.store(false);
  bool match = false;
  if (packet.length < CHUNK_MAX) {
    std::string text(reinterpret_cast<const char*>(packet.data), static_cast<size_t>(packet.length));
    long value = std::strtol(text.c_str(), nullptr, 10);
    match = static_cast<uint16_t>(static_cast<unsigned long>(value) & 0xFFFFu) == dataFile_.sum;
  }
  JobEnd end;
  end.job = Job::FILE_SEND;
  end.bytes = end.expected = static_cast<uint64_t>(dataFile_.count);
  if (!match) {
    end.outcome = Outcome::FAILED;
    end.cause = Cause::CHECKSUM_MISMATCH;
    end.reason = "the readout's checksum does not match the file's";
  }
  End(end);
  observer_.OnProgress({ProgressEvent::DESTROY});
}

void Transfers::HandleFileError(ReceivedPacket& packet) {
  const char* errorLine;
  const char* haltedLine;
  switch (session_.kind) {
    case FILE_KIND_BITMAP:
      errorLine = "Bitmap Transfer error.";
      haltedLine = "Bitmap transfer halted.";
      break;
    case FILE_KIND_SETTINGS:
      errorLine = "Settings Transfer error.";
      haltedLine = "Settings transfer halted.";
      break;
    case FILE_KIND_PROGRAM:
      errorLine = "Program Transfer error.";
      haltedLine = "Program transfer halted.";
      break;
    default:
      errorLine = "Binary Transfer error.";
      haltedLine = "Binary transfer halted.";
      break;
  }
  JobEnd end;
  end.job = session_.job;
  end.outcome = Outcome::FAILED;
  end.cause = Cause::READOUT_ERROR;
  end.expected = announced_ > 0 ? static_cast<uint64_t>(announced_) : 0;
  end.bytes = received_;
  // The readout's own words, as text: never a format, never past a NUL.
  size_t count = static_cast<size_t>(std::clamp<int32_t>(packet.dataCount, 0, MAX_DATA));
  end.readoutText.assign(reinterpret_cast<const char*>(packet.data),
                         std::find(packet.data, packet.data + count, 0) - packet.data);
  end.reason = "the readout reported an error" + (end.readoutText.empty() ? std::string() : ": " + end.readoutText);
  end.keptPart = AbandonReceive(dataFile_);
  CloseDataFile();
  log_.Add(errorLine);
  observer_.OnProgress({ProgressEvent::DESTROY});
  if (packets_.state.transferActive.load()) {
    packets_.state.transferActive.store(false);
    packets_.state.linkState.store(LINK_IDLE);
    log_.Add(haltedLine);
    if (session_.kind != FILE_KIND_BINARY) log_.Add(end.readoutText);
  }
  End(end);
}

}  // namespace quillon
