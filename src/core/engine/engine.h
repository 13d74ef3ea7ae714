// One engine per port: the serial link with its receive thread, the packet
// protocol, the bootloader jobs and the four transfers, wired together. Its
// front end starts jobs with typed inputs, runs Dispatch and Tick on one
// handler thread, and learns everything else through its observer. No state
// is shared between engines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/boot/image_download.h"
#include "core/jobs.h"
#include "core/log/event_log.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

class Engine : private PacketHandler {
 public:
  Engine(Host& host, SerialFactory& serial, EngineObserver& observer, Limits limits = {});
  ~Engine() override;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  EventLog& Log() { return log_; }

  // --- the port (handler thread) -------------------------------------------
  // Closes any open port and opens name (label is what the log calls it).
  bool Open(const std::string& name, const std::string& label, int* error = nullptr);
  void Close();
  bool IsOpen() const { return link_.IsOpen(); }
  // The platform's device name for a numbered port.
  std::string PortName(int number) { return serial_.PortName(number); }
  // Clear-to-send from the modem status; false when unknown or no port.
  bool GetCts(bool* cts) const;
  void SetRawLogging(bool on) { receiver_.SetRawLogging(on); }
  bool RawLogging() const { return receiver_.RawLogging(); }

  // --- jobs (handler thread) -----------------------------------------------
  bool BootIdle() const { return boot_.Idle(); }
  StartResult StartDownload(const uint8_t* data, size_t size, uint32_t baudRate, DownloadKind kind) {
    return boot_.StartDownload(data, size, baudRate, kind);
  }
  StartResult StartErase() { return boot_.StartErase(); }
  Transfers& GetTransfers() { return transfers_; }
  void SendTest() { SendTestPacket(packets_); }
  // Ends whatever runs: the transfer (as the stop command) and a bootloader
  // job (its worker gives up and reports).
  void StopAll();
  // The program is ending: stops the threads and closes the port, silently.
  void Shutdown();

  // --- any thread, a signal handler too -------------------------------------
  void RequestCancel();

  // --- the handler thread's loop --------------------------------------------
  // Packets, bootloader ends and a lost port, as the host posted them.
  void Dispatch(UiMessage message);
  // Every 100 ms: the answer timeouts.
  void Tick() { CheckAnswerTimeouts(packets_); }

  // --- what the front ends show -----------------------------------------------
  bool TransferActive() const { return packets_.state.transferActive.load(); }
  uint32_t TransferStartTick() const { return transfers_.Session().startTick; }
  int32_t RetryCount() const { return packets_.state.totalRetryCount.load(); }
  uint64_t DownloadSent() const { return boot_.SentCount(); }
  uint64_t DownloadSize() const { return boot_.ImageSize(); }

 private:
  void OnTransferPacket(ReceivedPacket& packet) override { transfers_.OnTransferPacket(packet); }
  void OnFlashEraseResult(const std::string& text) override { observer_.OnFlashEraseResult(text); }
  void OnPortLost();

  Host& host_;
  SerialFactory& serial_;
  EngineObserver& observer_;
  Limits limits_;
  EventLog log_;
  SerialLink link_;
  PacketLink packets_;
  ReceiveThread receiver_;
  Transfers transfers_;
  BootJobs boot_;
};

}  // namespace quillon
