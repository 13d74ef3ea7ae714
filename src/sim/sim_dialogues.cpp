// The readout's side of each packet dialogue: file send and receive, NLEC
// send and get, and the store directory behind them.
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "sim/sim_engine.h"
#include "sim/store_files.h"

namespace quillon::sim {

namespace {

// The host's longest NLEC piece, and so the readout's.
constexpr size_t NLEC_PIECE = 511;
constexpr int FILE_KIND_PROGRAM = 26;

std::string DataText(const ReceivedPacket& p) {
  return std::string(reinterpret_cast<const char*>(p.data), static_cast<size_t>(p.dataCount));
}

long DecimalOf(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

// The sum a send's end is answered with (one off under --wrong-final-checksum).
std::string EndSum(const std::vector<uint8_t>& bytes, bool offByOne) {
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  if (offByOne) ++sum;
  return std::to_string(sum & 0xFFFFu);
}

bool SafeName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

// The store's file a receive asks for: "KIND" or, for a program, "26NAME".
// A program by its name, else the last program sent here.
std::string NameAsked(const std::string& request, const std::string& storeDir) {
  size_t digits = 0;
  while (digits < request.size() && request[digits] >= '0' && request[digits] <= '9') ++digits;
  const int kind = static_cast<int>(DecimalOf(request.substr(0, digits)));
  const std::string program = request.substr(digits);
  if (kind != FILE_KIND_PROGRAM || program.empty()) return StoreNameForKind(kind);
  return SafeName(program) && std::filesystem::exists(storeDir + "/" + program) ? program
                                                                                : "program.bin";
}

// No frame carries more than 512 data bytes: a longer line goes back in
// pieces as the host sent it, every piece but its last 511 characters long (a
// last piece may be empty), so the host can join them. `lines` counts the
// lines, not the pieces.
std::vector<std::string> NlecPieces(const std::vector<uint8_t>& content, size_t* lines) {
  std::vector<std::string> pieces;
  *lines = 0;
  std::string line;
  auto addLine = [&] {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t at = 0;
    for (; line.size() - at >= NLEC_PIECE; at += NLEC_PIECE) {
      pieces.push_back(line.substr(at, NLEC_PIECE));
    }
    pieces.push_back(line.substr(at));
    ++*lines;
    line.clear();
  };
  for (uint8_t c : content) {
    if (c == '\n') {
      addLine();
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  if (!line.empty()) addLine();
  return pieces;
}

}  // namespace

Reply SimEngine::FileSend(const ReceivedPacket& p) {
  const FaultOptions& f = options_.faults;
  if (p.command == CMD_FILE_SEND_START) {
    if (f.fileError) {
      dialogue_ = Dialogue::NONE;
      return {CMD_FILE_ERROR, *f.fileError};
    }
    // "kind,sum,count,"
    sendKind_ = static_cast<int>(DecimalOf(DataText(p)));
    dialogue_ = Dialogue::FILE_SEND;
    received_.clear();
    return {CMD_FILE_CHUNK, "1"};
  }
  if (dialogue_ != Dialogue::FILE_SEND) return {CMD_FILE_ERROR, "No file transfer"};
  if (p.command == CMD_FILE_CHUNK) {
    received_.insert(received_.end(), p.data, p.data + p.dataCount);
    return {CMD_FILE_CHUNK, "1"};
  }
  // End: store the file and answer with the sum of what arrived.
  dialogue_ = Dialogue::NONE;
  const std::string name = StoreNameForKind(sendKind_);
  if (!WriteStoreFile(name, received_)) return {CMD_FILE_ERROR, "Cannot store " + name};
  Notice("stored " + name + " (" + std::to_string(received_.size()) + " bytes)");
  return {CMD_FILE_SEND_END, EndSum(received_, f.wrongFinalChecksum)};
}

Reply SimEngine::FileGet(const ReceivedPacket& p) {
  if (p.command == CMD_FILE_GET_START) {
    dialogue_ = Dialogue::NONE;
    if (options_.faults.fileError) return {CMD_FILE_ERROR, *options_.faults.fileError};
    if (!ReadStoreFile(NameAsked(DataText(p), options_.storeDir), &serving_)) {
      return {CMD_FILE_ERROR, "File not found"};
    }
    servedOffset_ = 0;
    dialogue_ = Dialogue::FILE_GET;
    return {CMD_FILE_GET_START, std::to_string(serving_.size())};
  }
  if (dialogue_ != Dialogue::FILE_GET) return {CMD_FILE_ERROR, "No file transfer"};
  if (servedOffset_ >= serving_.size()) {
    dialogue_ = Dialogue::NONE;
    return {CMD_FILE_GET_END, "1"};
  }
  const size_t n = std::min(options_.pieceSize, serving_.size() - servedOffset_);
  auto first = serving_.begin() + static_cast<long>(servedOffset_);
  servedOffset_ += n;
  return {CMD_FILE_GET_DATA, std::vector<uint8_t>(first, first + static_cast<long>(n))};
}

Reply SimEngine::NlecSend(const ReceivedPacket& p) {
  const FaultOptions& f = options_.faults;
  if (p.command == CMD_NLEC_SEND_START) {
    if (f.nlecError) {
      dialogue_ = Dialogue::NONE;
      return {CMD_NLEC_ERROR, "1"};
    }
    dialogue_ = Dialogue::NLEC_SEND;
    received_.clear();
    return {CMD_NLEC_SEND_START, "1"};
  }
  if (dialogue_ != Dialogue::NLEC_SEND) return {CMD_NLEC_ERROR, "1"};
  if (p.command == CMD_NLEC_LINE) {
    received_.insert(received_.end(), p.data, p.data + p.dataCount);
    return {CMD_NLEC_LINE, "1"};
  }
  dialogue_ = Dialogue::NONE;
  if (!WriteStoreFile("nlec.txt", received_)) return {CMD_NLEC_ERROR, "1"};
  Notice("stored nlec.txt (" + std::to_string(received_.size()) + " characters)");
  return {CMD_NLEC_SEND_END, EndSum(received_, f.wrongFinalChecksum)};
}

Reply SimEngine::NlecGet(const ReceivedPacket& p) {
  if (p.command == CMD_NLEC_GET_START) {
    dialogue_ = Dialogue::NONE;
    std::vector<uint8_t> content;
    if (options_.faults.nlecError || !ReadStoreFile("nlec.txt", &content)) {
      return {CMD_NLEC_ERROR, "1"};
    }
    size_t lines = 0;
    nlecLines_ = NlecPieces(content, &lines);
    nlecIndex_ = 0;
    dialogue_ = Dialogue::NLEC_GET;
    return {CMD_NLEC_GET_START, std::to_string(lines)};
  }
  if (dialogue_ != Dialogue::NLEC_GET) return {CMD_NLEC_ERROR, "1"};
  const std::string line = nlecIndex_ < nlecLines_.size() ? nlecLines_[nlecIndex_] : std::string();
  ++nlecIndex_;
  if (nlecIndex_ < nlecLines_.size()) return {CMD_NLEC_GET_LINE, line};
  dialogue_ = Dialogue::NONE;
  return {CMD_NLEC_GET_END, line};
}

bool SimEngine::WriteStoreFile(const std::string& name, const std::vector<uint8_t>& content) {
  // Written aside and renamed, so a watcher never sees half a file.
  return WriteAside(options_.storeDir + "/" + name, content);
}

bool SimEngine::ReadStoreFile(const std::string& name, std::vector<uint8_t>* content) {
  return ReadWhole(options_.storeDir + "/" + name, content);
}

}  // namespace quillon::sim
