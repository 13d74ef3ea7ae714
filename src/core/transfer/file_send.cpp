#include "core/transfer/file_send.h"

#include <cstdio>
#include <cstdlib>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/parser.h"
#include "core/transfer/session.h"
#include "core/transfer/text_file.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

namespace {

constexpr size_t CHUNK_MAX = 128;
// The listing is scanned in pieces of this many characters at most.
constexpr size_t BITMAP_PIECE_MAX = 1022;

int KindOfSendCommand(int commandId) {
  switch (commandId) {
    case IDC_SEND_BITMAP:
      return FILE_KIND_BITMAP;
    case IDC_SEND_SETTINGS:
      return FILE_KIND_SETTINGS;
    case IDC_SEND_PROGRAM:
      return FILE_KIND_PROGRAM;
    default:
      return FILE_KIND_BINARY;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// Scans one piece; a marker never carries over into the next piece.
void ConvertPiece(const char* text, size_t length, std::string& out) {
  int state = 0;
  int high = 0;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    switch (state) {
      case 0:
        if (c == 'x') state = 1;
        break;
      case 1:
        if (IsHexDigit(static_cast<unsigned char>(c))) {
          high = HexValue(c);
          state = 2;
        }
        break;
      default:
        if (IsHexDigit(static_cast<unsigned char>(c))) {
          out.push_back(static_cast<char>(high * 16 + HexValue(c)));
          state = 0;
        }
        break;
    }
  }
}

// Bitmap steps of the start: the listing chosen by the user becomes
// "bitmap.bin" in the current directory, which is then sent like any file.
bool ConvertBitmapFile(App& app) {
  std::string source;
  if (!ChooseOpenFile(app, source, FileTransferFilter())) return false;
  std::FILE* in = std::fopen(source.c_str(), "rb");
  if (in == nullptr) return false;
  app.dataFile.name = BITMAP_FILE_NAME;
  std::FILE* out = std::fopen(BITMAP_FILE_NAME, "wb");
  if (out == nullptr) {
    std::fclose(in);
    return false;
  }
  bool written = true;
  std::string piece;
  while (written && ReadTextPiece(in, BITMAP_PIECE_MAX, piece)) {
    std::string bytes = ConvertBitmapText(piece);
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
      written = false;
    }
  }
  std::fclose(in);
  // A bitmap that could not be written whole must not be sent as if it were.
  if (std::fclose(out) != 0) written = false;
  return written;
}

}  // namespace

bool IsHexDigit(int c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string ConvertBitmapText(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    // A piece is a whole line with its LF, or the next piece-size characters.
    size_t end = at;
    while (end < text.size() && end - at < BITMAP_PIECE_MAX) {
      if (text[end++] == '\n') break;
    }
    ConvertPiece(text.data() + at, end - at, out);
    at = end;
  }
  return out;
}

void ComputeSumAndCount(App& app) {
  TransferFile& data = app.dataFile;
  data.sum = 0;
  data.count = 0;
  int c;
  while ((c = std::getc(data.file)) != EOF) {
    data.sum = static_cast<uint16_t>(data.sum + c);
    ++data.count;
  }
  std::rewind(data.file);
}

void SendFileHeader(App& app) {
  char header[48];
  std::snprintf(header, sizeof header, "%d,%d,%d,", app.session.kind,
                static_cast<int>(app.dataFile.sum), static_cast<int>(app.dataFile.count));
  RS232_SendText(app, RS232_FILE_SEND_START, header);
}

bool StartFileSend(App& app, int commandId, const char* logText) {
  app.session.kind = KindOfSendCommand(commandId);
  CloseDataFile(app);
  if (app.session.kind == FILE_KIND_BITMAP) {
    if (!ConvertBitmapFile(app)) return false;
  } else if (!ChooseOpenFile(app, app.dataFile.name, FileTransferFilter())) {
    return false;
  }
  app.dataFile.file = std::fopen(app.dataFile.name.c_str(), "rb");
  if (app.dataFile.file == nullptr) return false;
  ComputeSumAndCount(app);
  app.host.CreateProgressStrip(static_cast<uint32_t>(app.dataFile.count), true);
  LogLine(app, 0, "%s", logText);
  BeginTransfer(app, commandId, &app.session.fileNotifier);
  SendFileHeader(app);
  return true;
}

void HandleFileChunkRequest(App& app, ReceivedPacket&) {
  // A request with no file open (after an error or at start-up) is ignored.
  if (app.dataFile.file == nullptr) return;
  uint8_t chunk[CHUNK_MAX];
  size_t n = std::fread(chunk, 1, sizeof chunk, app.dataFile.file);
  if (n > 0) {
    RS232_SendPacket(app, RS232_FILE_CHUNK, chunk, static_cast<uint16_t>(n));
  } else {
    RS232_SendText(app, RS232_FILE_SEND_END, "1");
  }
  // Only a chunk of more than one byte moves the strip; a last chunk of one
  // byte leaves it one short of the count, as users of this tool know it.
  if (n > 1) app.host.AdvanceProgressStrip(static_cast<uint32_t>(n));
}

void HandleFileSendResult(App& app, ReceivedPacket& packet) {
  app.protocol.transferActive.store(0);
  bool match = false;
  if (packet.length < CHUNK_MAX) {
    std::string text(reinterpret_cast<const char*>(packet.data),
                     static_cast<size_t>(packet.length));
    long value = std::strtol(text.c_str(), nullptr, 10);
    match = static_cast<uint16_t>(static_cast<unsigned long>(value) & 0xFFFFu) == app.dataFile.sum;
  }
  if (match) {
    ReportResult(app, Report::SUCCESS, "Transfer complete.");
  } else {
    ReportResult(app, Report::FAILURE, "Transfer error.");
  }
  app.host.DestroyProgressStrip();
}

void HandleFileError(App& app, ReceivedPacket& packet) {
  const char* errorLine;
  const char* haltedLine;
  switch (app.session.kind) {
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
  CloseDataFile(app);
  AddLogText(app, errorLine);
  app.host.DestroyProgressStrip();
  if (app.protocol.transferActive.load() != 0) {
    app.protocol.transferActive.store(0);
    app.protocol.linkState.store(LINK_IDLE);
    AddLogText(app, haltedLine);
    if (app.session.kind == FILE_KIND_BITMAP || app.session.kind == FILE_KIND_SETTINGS ||
        app.session.kind == FILE_KIND_PROGRAM) {
      // The readout's own words, as text: never a format, never past a NUL.
      size_t count = packet.dataCount > 0 ? static_cast<size_t>(packet.dataCount) : 0;
      if (count > MAX_DATA) count = MAX_DATA;
      size_t length = 0;
      while (length < count && packet.data[length] != 0) ++length;
      AddLogText(app, std::string(reinterpret_cast<const char*>(packet.data), length));
    }
    app.host.Beep();
  }
  ReportResult(app, Report::FAILURE, "Transfer error.");
}

}  // namespace quillon
