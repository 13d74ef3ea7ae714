// The readout's side of each packet dialogue: file send and receive, NLEC
// send and get, and the store directory behind them.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "sim/sim_engine.h"

namespace quillon::sim {

namespace {

// The host's longest NLEC piece, and so the readout's.
constexpr size_t NLEC_PIECE = 511;

std::vector<uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

std::string DataText(const ReceivedPacket& p) {
  return std::string(reinterpret_cast<const char*>(p.data), static_cast<size_t>(p.dataCount));
}

long DecimalOf(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

uint16_t Sum16(const std::vector<uint8_t>& bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<uint16_t>(sum & 0xFFFFu);
}

bool SafeName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

bool SimEngine::FileSend(const ReceivedPacket& p, uint16_t* cmd, std::vector<uint8_t>* data) {
  const FaultOptions& f = options_.faults;
  if (p.command == CMD_FILE_SEND_START) {
    if (f.fileError) {
      dialogue_ = Dialogue::NONE;
      *cmd = CMD_FILE_ERROR;
      *data = Text(*f.fileError);
      return true;
    }
    // "kind,sum,count,"
    std::string header = DataText(p);
    sendKind_ = static_cast<int>(DecimalOf(header));
    dialogue_ = Dialogue::FILE_SEND;
    received_.clear();
    *cmd = CMD_FILE_CHUNK;
    *data = Text("1");
    return true;
  }
  if (dialogue_ != Dialogue::FILE_SEND) {
    *cmd = CMD_FILE_ERROR;
    *data = Text("No file transfer");
    return true;
  }
  if (p.command == CMD_FILE_CHUNK) {
    received_.insert(received_.end(), p.data, p.data + p.dataCount);
    *cmd = CMD_FILE_CHUNK;
    *data = Text("1");
    return true;
  }
  // End: store the file and answer with the sum of what arrived.
  dialogue_ = Dialogue::NONE;
  std::string name = StoreNameForKind(sendKind_);
  if (!WriteStoreFile(name, received_)) {
    *cmd = CMD_FILE_ERROR;
    *data = Text("Cannot store " + name);
    return true;
  }
  Notice("stored " + name + " (" + std::to_string(received_.size()) + " bytes)");
  uint32_t sum = Sum16(received_);
  if (f.wrongFinalChecksum) sum = (sum + 1) & 0xFFFFu;
  *cmd = CMD_FILE_SEND_END;
  *data = Text(std::to_string(sum));
  return true;
}

bool SimEngine::FileGet(const ReceivedPacket& p, uint16_t* cmd, std::vector<uint8_t>* data) {
  const FaultOptions& f = options_.faults;
  if (p.command == CMD_FILE_GET_START) {
    dialogue_ = Dialogue::NONE;
    if (f.fileError) {
      *cmd = CMD_FILE_ERROR;
      *data = Text(*f.fileError);
      return true;
    }
    std::string request = DataText(p);
    size_t digits = 0;
    while (digits < request.size() && request[digits] >= '0' && request[digits] <= '9') ++digits;
    int kind = static_cast<int>(DecimalOf(request.substr(0, digits)));
    std::string program = request.substr(digits);
    std::string name;
    if (kind == 26 && !program.empty()) {
      // A program by its name, else the last program sent here.
      name = SafeName(program) && std::filesystem::exists(options_.storeDir + "/" + program)
                 ? program
                 : "program.bin";
    } else {
      name = StoreNameForKind(kind);
    }
    if (!ReadStoreFile(name, &serving_)) {
      *cmd = CMD_FILE_ERROR;
      *data = Text("File not found");
      return true;
    }
    servedOffset_ = 0;
    dialogue_ = Dialogue::FILE_GET;
    *cmd = CMD_FILE_GET_START;
    *data = Text(std::to_string(serving_.size()));
    return true;
  }
  if (dialogue_ != Dialogue::FILE_GET) {
    *cmd = CMD_FILE_ERROR;
    *data = Text("No file transfer");
    return true;
  }
  if (servedOffset_ >= serving_.size()) {
    dialogue_ = Dialogue::NONE;
    *cmd = CMD_FILE_GET_END;
    *data = Text("1");
    return true;
  }
  size_t n = std::min(options_.pieceSize, serving_.size() - servedOffset_);
  auto first = serving_.begin() + static_cast<long>(servedOffset_);
  *data = std::vector<uint8_t>(first, first + static_cast<long>(n));
  servedOffset_ += n;
  *cmd = CMD_FILE_GET_DATA;
  return true;
}

bool SimEngine::NlecSend(const ReceivedPacket& p, uint16_t* cmd, std::vector<uint8_t>* data) {
  const FaultOptions& f = options_.faults;
  if (p.command == CMD_NLEC_SEND_START) {
    if (f.nlecError) {
      dialogue_ = Dialogue::NONE;
      *cmd = CMD_NLEC_ERROR;
      *data = Text("1");
      return true;
    }
    dialogue_ = Dialogue::NLEC_SEND;
    received_.clear();
    *cmd = CMD_NLEC_SEND_START;
    *data = Text("1");
    return true;
  }
  if (dialogue_ != Dialogue::NLEC_SEND) {
    *cmd = CMD_NLEC_ERROR;
    *data = Text("1");
    return true;
  }
  if (p.command == CMD_NLEC_LINE) {
    received_.insert(received_.end(), p.data, p.data + p.dataCount);
    *cmd = CMD_NLEC_LINE;
    *data = Text("1");
    return true;
  }
  dialogue_ = Dialogue::NONE;
  if (!WriteStoreFile("nlec.txt", received_)) {
    *cmd = CMD_NLEC_ERROR;
    *data = Text("1");
    return true;
  }
  Notice("stored nlec.txt (" + std::to_string(received_.size()) + " characters)");
  uint32_t sum = Sum16(received_);
  if (f.wrongFinalChecksum) sum = (sum + 1) & 0xFFFFu;
  *cmd = CMD_NLEC_SEND_END;
  *data = Text(std::to_string(sum));
  return true;
}

bool SimEngine::NlecGet(const ReceivedPacket& p, uint16_t* cmd, std::vector<uint8_t>* data) {
  if (p.command == CMD_NLEC_GET_START) {
    dialogue_ = Dialogue::NONE;
    std::vector<uint8_t> content;
    if (options_.faults.nlecError || !ReadStoreFile("nlec.txt", &content)) {
      *cmd = CMD_NLEC_ERROR;
      *data = Text("1");
      return true;
    }
    // No frame carries more than 512 data bytes: a longer line goes back in
    // pieces as the host sent it, every piece but its last 511 characters
    // long (a last piece may be empty), so the host can join them.
    nlecLines_.clear();
    size_t lines = 0;
    std::string line;
    auto addLine = [&] {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t at = 0;
      for (; line.size() - at >= NLEC_PIECE; at += NLEC_PIECE) nlecLines_.push_back(line.substr(at, NLEC_PIECE));
      nlecLines_.push_back(line.substr(at));
      ++lines;
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
    nlecIndex_ = 0;
    dialogue_ = Dialogue::NLEC_GET;
    *cmd = CMD_NLEC_GET_START;
    *data = Text(std::to_string(lines));
    return true;
  }
  if (dialogue_ != Dialogue::NLEC_GET) {
    *cmd = CMD_NLEC_ERROR;
    *data = Text("1");
    return true;
  }
  std::string line = nlecIndex_ < nlecLines_.size() ? nlecLines_[nlecIndex_] : std::string();
  ++nlecIndex_;
  if (nlecIndex_ >= nlecLines_.size()) {
    dialogue_ = Dialogue::NONE;
    *cmd = CMD_NLEC_GET_END;
  } else {
    *cmd = CMD_NLEC_GET_LINE;
  }
  *data = Text(line);
  return true;
}

bool SimEngine::WriteStoreFile(const std::string& name, const std::vector<uint8_t>& content) {
  // Written aside and renamed, so a watcher never sees half a file.
  std::string path = options_.storeDir + "/" + name;
  std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!out) return false;
  }
  std::error_code error;
  std::filesystem::rename(temp, path, error);
  return !error;
}

bool SimEngine::ReadStoreFile(const std::string& name, std::vector<uint8_t>* content) {
  std::ifstream in(options_.storeDir + "/" + name, std::ios::binary);
  if (!in) return false;
  content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

}  // namespace quillon::sim
