// The engine's wiring and its handler-thread entry points.
#include "core/engine/engine.h"

#include "core/host.h"
#include "core/protocol/parser.h"

namespace quillon {

Engine::Engine(Host& host, SerialFactory& serial, EngineObserver& observer, Limits limits)
    : host_(host),
      serial_(serial),
      observer_(observer),
      limits_(limits),
      log_(host, observer, limits.logLines),
      packets_(link_, log_, host),
      receiver_(link_, log_, host, observer,
                [this](const uint8_t* data, size_t count) { RS232_ReceiveBytes(packets_, data, count); },
                limits_.failedWaitPauseMs),
      transfers_(packets_, log_, host, observer),
      boot_(link_, receiver_, log_, host, observer, limits_) {
  packets_.onGiveUp = [this] { transfers_.OnGiveUp(); };
  receiver_.Start();
}

Engine::~Engine() { Shutdown(); }

void Engine::Shutdown() {
  // The workers first (they may be writing), then the thread that reads,
  // then the port, silently; the transfers close their files as they go.
  boot_.Stop();
  receiver_.Stop();
  if (auto port = link_.Exchange(nullptr)) port->Close();
}

bool Engine::Open(const std::string& name, const std::string& label, int* error) {
  bool opened = OpenPortOnLink(link_, serial_, log_, host_, limits_.closePauseMs, name, label, error);
  if (opened) receiver_.Wake();
  return opened;
}

void Engine::Close() {
  ClosePortOnLink(link_, log_, host_, limits_.closePauseMs, false);
  boot_.OnPortClosed();
}

bool Engine::GetCts(bool* cts) const {
  auto port = link_.Port();
  return port && port->GetCts(cts);
}

void Engine::StopAll() {
  if (transfers_.Active()) transfers_.Stop();
  boot_.Stop();
}

void Engine::RequestCancel() {
  transfers_.RequestCancel();
  boot_.Stop();
}

void Engine::OnPortLost() {
  log_.Add("the readout's port went away (unplugged?)");
  transfers_.OnPortLost();
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
        RS232_DispatchPacket(packets_, *message.packet, *this);
        if (good) observer_.OnPacket(command);
      }
      break;
    case UiMessage::BOOT_DONE:
      boot_.OnBootDone();
      break;
    case UiMessage::PORT_LOST:
      OnPortLost();
      break;
  }
}

}  // namespace quillon
