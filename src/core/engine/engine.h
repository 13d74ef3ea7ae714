// One engine per port: the serial link with its receive thread, the packet
// protocol, the bootloader jobs and the four transfers, wired together. It
// is the one way into them: its front end starts jobs with typed inputs,
// runs Dispatch and Tick on one handler thread, and learns everything else
// through its observer. No state is shared between engines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/host.h"
#include "core/jobs.h"
#include "core/log/event_log.h"
#include "core/serial_device.h"

namespace quillon {

class Engine {
 public:
  Engine(Host& host, SerialFactory& serial, EngineObserver& observer, Limits limits = {});
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  EventLog& Log();

  // --- the port (handler thread) -------------------------------------------
  // Closes any open port and opens name (label is what the log calls it).
  bool Open(const std::string& name, const std::string& label, int* error = nullptr);
  void Close();
  bool IsOpen() const;
  // The platform's device name for a numbered port.
  std::string PortName(int number);
  // Clear-to-send from the modem status; false when unknown or no port.
  bool GetCts(bool* cts) const;
  void SetRawLogging(bool on);
  bool RawLogging() const;

  // --- jobs (handler thread); a refused start changes nothing on the line ---
  // The first step of a file start, which the dialog takes before the user
  // picks the file: the kind is set and the previous data file closed, and
  // stay so when the pick is cancelled. The starts take it themselves.
  void PrepareFileStart(FileKind kind);
  // Likewise for an NLEC start: the previous NLEC file is closed.
  void PrepareNlecStart();
  // logText is the line the start adds to the event log.
  StartResult StartFileSend(FileKind kind, const std::string& path, const std::string& logText);
  // programName: a program receive's name (at most PROGRAM_NAME_MAX characters).
  StartResult StartFileReceive(FileKind kind, const std::string& path,
                               const std::string& programName, const std::string& logText);
  StartResult StartNlecSend(const std::string& path);
  StartResult StartNlecGet(const std::string& path);
  // The image must stay valid until the download has ended.
  StartResult StartDownload(const uint8_t* data, size_t size, uint32_t baudRate, DownloadRun run);
  StartResult StartErase();
  // Sends the test command; its answer comes as a packet (OnPacket).
  StartResult StartTest();
  // The stop command: ends the transfer that runs, reported as STOPPED.
  void StopTransfer();
  // Ends whatever runs: the transfer (as the stop command) and a bootloader
  // job (its worker gives up and reports).
  void StopAll();
  // The program is ending: stops the threads and closes the port, silently.
  void Shutdown();

  // --- any thread, not a signal handler (waking an erase's wait takes a lock)
  // Ends a checksum pass under way and asks a bootloader job to give up.
  void RequestCancel();

  // --- the handler thread's loop --------------------------------------------
  // Packets, bootloader ends and a lost port, as the host posted them.
  void Dispatch(UiMessage message);
  // Every 100 ms: the answer timeouts.
  void Tick();

  // --- what the front ends show -----------------------------------------------
  bool BootIdle() const;
  bool TransferActive() const;
  uint32_t TransferStartTick() const;
  int32_t RetryCount() const;
  uint64_t DownloadSent() const;
  uint64_t DownloadSize() const;

 private:
  struct Parts;
  void OnPortLost();

  Host& host_;
  SerialFactory& serial_;
  EngineObserver& observer_;
  Limits limits_;
  // The link, the protocol, the receive thread, the transfers and the
  // bootloader jobs: the engine's own, reached only through the above.
  std::unique_ptr<Parts> parts_;
};

}  // namespace quillon
