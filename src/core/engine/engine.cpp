// The engine's wiring and its handler-thread entry points.
#include "core/engine/engine.h"

#include "core/boot/image_download.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

// The dispatcher's handler is the engine's: the transfers get their
// answers, the observer the readout's erase result.
struct Engine::Parts : PacketHandler {
  Parts(Host& host, EngineObserver& observerIn, const Limits& limits)
      : observer(observerIn),
        log(host, observer, limits.logLines),
        packets(link, log, host),
        receiver(
            link, log, host, observer,
            [this](const uint8_t* data, size_t count) { RS232_ReceiveBytes(packets, data, count); },
            limits.failedWaitPauseMs),
        transfers(packets, log, host, observer),
        boot(link, receiver, log, host, observer, limits) {}

  void OnTransferPacket(ReceivedPacket& packet) override { transfers.OnTransferPacket(packet); }
  void OnFlashEraseResult(const std::string& text) override { observer.OnFlashEraseResult(text); }

  EngineObserver& observer;
  EventLog log;
  SerialLink link;
  PacketLink packets;
  ReceiveThread receiver;
  Transfers transfers;
  BootJobs boot;
};

Engine::Engine(Host& host, SerialFactory& serial, EngineObserver& observer, Limits limits)
    : host_(host), serial_(serial), observer_(observer), limits_(limits) {
  // Made once limits_ has its place: the bootloader jobs keep a reference.
  parts_ = std::make_unique<Parts>(host_, observer_, limits_);
  parts_->packets.onGiveUp = [this] { parts_->transfers.OnGiveUp(); };
  parts_->receiver.Start();
}

Engine::~Engine() { Shutdown(); }

EventLog& Engine::Log() { return parts_->log; }

void Engine::Shutdown() {
  // The workers first (they may be writing), then the thread that reads,
  // then the port, silently; the transfers close their files as they go.
  parts_->boot.Stop();
  parts_->receiver.Stop();
  if (auto port = parts_->link.Exchange(nullptr)) port->Close();
}

bool Engine::Open(const std::string& name, const std::string& label, int* error) {
  bool opened = OpenPortOnLink(parts_->link, serial_, parts_->log, host_, limits_.closePauseMs,
                               name, label, error);
  if (opened) parts_->receiver.Wake();
  return opened;
}

void Engine::Close() {
  ClosePortOnLink(parts_->link, parts_->log, host_, limits_.closePauseMs, false);
  parts_->boot.OnPortClosed();
}

bool Engine::IsOpen() const { return parts_->link.IsOpen(); }

std::string Engine::PortName(int number) { return serial_.PortName(number); }

bool Engine::GetCts(bool* cts) const {
  auto port = parts_->link.Port();
  return port && port->GetCts(cts);
}

void Engine::SetRawLogging(bool on) { parts_->receiver.SetRawLogging(on); }
bool Engine::RawLogging() const { return parts_->receiver.RawLogging(); }

void Engine::PrepareFileStart(FileKind kind) { parts_->transfers.PrepareFileStart(kind); }
void Engine::PrepareNlecStart() { parts_->transfers.CloseNlecFile(); }

StartResult Engine::StartFileSend(FileKind kind, const std::string& path,
                                  const std::string& logText) {
  return parts_->transfers.StartFileSend(kind, path, logText);
}

StartResult Engine::StartFileReceive(FileKind kind, const std::string& path,
                                     const std::string& programName, const std::string& logText) {
  return parts_->transfers.StartFileReceive(kind, path, programName, logText);
}

StartResult Engine::StartNlecSend(const std::string& path) {
  return parts_->transfers.StartNlecSend(path);
}
StartResult Engine::StartNlecGet(const std::string& path) {
  return parts_->transfers.StartNlecGet(path);
}

StartResult Engine::StartDownload(const uint8_t* data, size_t size, uint32_t baudRate,
                                  DownloadRun run) {
  return parts_->boot.StartDownload(data, size, baudRate, run);
}

StartResult Engine::StartErase() { return parts_->boot.StartErase(); }

StartResult Engine::StartTest() {
  // Always sent; a write that fails is logged by the link.
  SendTestPacket(parts_->packets);
  return StartResult::Ok();
}

void Engine::StopTransfer() { parts_->transfers.Stop(); }

void Engine::StopAll() {
  if (parts_->transfers.Active()) parts_->transfers.Stop();
  parts_->boot.Stop();
}

void Engine::RequestCancel() {
  parts_->transfers.RequestCancel();
  parts_->boot.Stop();
}

void Engine::OnPortLost() {
  parts_->log.Add("the readout's port went away (unplugged?)");
  parts_->transfers.OnPortLost();
  // A bootloader job learns it from the link and reports through its end.
  Close();
  observer_.OnPortLost();
}

void Engine::Dispatch(UiMessage message) {
  switch (message.kind) {
    case UiMessage::PACKET_RECEIVED:
      if (message.packet) {
        const uint16_t command = message.packet->command;
        const bool good = message.packet->receivedChecksum == message.packet->computedChecksum;
        RS232_DispatchPacket(parts_->packets, *message.packet, *parts_);
        if (good) observer_.OnPacket(command);
      }
      break;
    case UiMessage::BOOT_DONE:
      parts_->boot.OnBootDone();
      break;
    case UiMessage::PORT_LOST:
      OnPortLost();
      break;
  }
}

void Engine::Tick() { CheckAnswerTimeouts(parts_->packets); }

bool Engine::BootIdle() const { return parts_->boot.Idle(); }
bool Engine::TransferActive() const { return parts_->packets.state.transferActive.load(); }
uint32_t Engine::TransferStartTick() const { return parts_->transfers.Session().startTick; }
int32_t Engine::RetryCount() const { return parts_->packets.state.totalRetryCount.load(); }
uint64_t Engine::DownloadSent() const { return parts_->boot.SentCount(); }
uint64_t Engine::DownloadSize() const { return parts_->boot.ImageSize(); }

}  // namespace quillon
