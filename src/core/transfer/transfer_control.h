// The four maintenance transfers of one port: their open files, the start
// sequence, the packet handlers and the stop. The engine owns them, starts
// them for its front ends and hands them the readout's transfer answers;
// how a transfer ended goes to the engine's observer.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/engine/job_files.h"
#include "core/transfer/session.h"

namespace quillon {

class EngineObserver;
class EventLog;
class Host;
struct PacketLink;
struct ReceivedPacket;

constexpr const char* BITMAP_FILE_NAME = "bitmap.bin";
// An NLEC line goes out in pieces of at most this many characters.
constexpr size_t NLEC_PIECE_MAX = 511;

// One open file of a transfer; closes itself.
class TransferFile {
 public:
  bool IsOpen() const { return file_ != nullptr; }
  std::FILE* Get() const { return file_.get(); }
  // Opens path with an fopen mode; false with errno set when it cannot.
  bool Open(const std::string& path, const char* mode);
  // Takes an already open stream for writing (a receive's part).
  void Adopt(std::FILE* file, const std::string& name);
  // Closes the file; false when something written did not reach it.
  bool Close();
  uint16_t sum = 0;
  int32_t count = 0;
  std::string path;    // the file open (a receive: its part, beside target)
  std::string target;  // a receive: the file replaced when whole (DEST, or its link's target)

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  bool writing_ = false;
};

class Transfers {
 public:
  Transfers(PacketLink& packets, EventLog& log, Host& host, EngineObserver& observer);
  ~Transfers();
  Transfers(const Transfers&) = delete;
  Transfers& operator=(const Transfers&) = delete;

  // --- starts (handler thread); a refused start changes nothing on the line
  StartResult StartFileSend(FileKind kind, const std::string& path, const std::string& logText);
  StartResult StartFileReceive(FileKind kind, const std::string& path,
                               const std::string& programName, const std::string& logText);
  StartResult StartNlecSend(const std::string& path);
  StartResult StartNlecGet(const std::string& path);
  // The first step of every file start: the kind, then the previous file closed.
  void PrepareFileStart(FileKind kind);
  void CloseNlecFile();
  // The stop command's own part: ends whatever transfer runs.
  void Stop();
  // Any thread (a signal handler too): ends a checksum pass under way.
  void RequestCancel() { cancel_.store(true); }
  void OnGiveUp();
  void OnPortLost();

  bool Active() const;
  const TransferSession& Session() const { return session_; }

  // A transfer answer from the readout, as the dispatcher routed it.
  void OnTransferPacket(ReceivedPacket& packet);

 private:
  // file_send.cpp
  bool ComputeSumAndCount(TransferFile& file, bool text);
  void SendFileHeader();
  void HandleFileChunkRequest();
  void HandleFileSendResult(ReceivedPacket& packet);
  void HandleFileError(ReceivedPacket& packet);
  // file_receive.cpp
  void HandleFileSize(ReceivedPacket& packet);
  void HandleFileData(ReceivedPacket& packet);
  void HandleFileEnd();
  // nlec.cpp
  void HandleNlecLineRequest();
  void HandleNlecSendResult(ReceivedPacket& packet);
  void HandleNlecError();
  void HandleNlecLineCount(ReceivedPacket& packet);
  void HandleNlecLine(ReceivedPacket& packet, bool last);
  // Logs the end's line ("NLEC Transfer completed in N seconds." and the
  // like) and reports it.
  void FinishNlec(Job job, Outcome outcome, Cause cause, const std::string& keptPart);
  // transfer_control.cpp
  void BeginTransfer(Job job);
  void CloseDataFile();
  // Closes a receive that did not finish: its part is kept (an empty one is
  // removed) and the kept path is returned, or empty.
  std::string AbandonReceive(TransferFile& file);
  // Reports the transfer's one end; the session is over.
  void End(JobEnd end);
  // Ends the session as the stop command does, for a stop or an NLEC error.
  void Halt(JobEnd end);
  // Ends the transfer as failed: the strip goes, a receive keeps its part.
  void Fail(Cause cause, const std::string& reason);
  StartResult OpenSource(TransferFile& file, const std::string& path);
  StartResult OpenPart(TransferFile& file, const std::string& path);
  bool IsRepeatedAnswer(const ReceivedPacket& packet);
  std::string PrivateDir();

  PacketLink& packets_;
  EventLog& log_;
  Host& host_;
  EngineObserver& observer_;
  TransferSession session_;
  TransferFile dataFile_;
  TransferFile nlecFile_;
  std::atomic<bool> cancel_{false};
  std::string privateDir_;  // the bitmap's intermediate file lives here
  // A receive's size or line count as the readout announced it, and what
  // came; a send's count acknowledged so far (each request for the next
  // piece acknowledges the one before it), and its last piece in flight.
  int64_t announced_ = -1;
  uint64_t received_ = 0;
  uint64_t inFlight_ = 0;
  // The last transfer answer acted on, to tell its repeat from a new one.
  struct LastAnswer {
    bool mayRepeat = false;  // it came after the host had resent its packet
    bool seen = false;       // an answer was acted on in this transfer
    bool idsVaried = false;  // the readout's ids differed within this transfer
    uint16_t command = 0, id = 0;
    std::vector<uint8_t> data;
  } lastAnswer_;
};

bool IsHexDigit(int c);

}  // namespace quillon
