// The receiving side of the packet link: blocks of bytes from the receive
// thread become packets posted to the handler thread, and the handler
// thread's timer repeats the last packet when its answer does not come.
#include "core/protocol/parser.h"

#include "core/host.h"
#include "core/log/event_log.h"
#include "core/protocol/commands.h"
#include "core/protocol/packet.h"

namespace quillon {

namespace {

constexpr uint32_t ANSWER_TIMEOUT_MS = 500;
constexpr uint32_t LONG_COMMAND_TIMEOUT_MS = 2500;
constexpr uint32_t INTER_BYTE_TIMEOUT_MS = 100;

}  // namespace

void RS232_ReceiveBytes(PacketLink& link, const uint8_t* data, size_t count) {
  ProtocolState& p = link.state;
  // One lock per block: the timeout check takes the same lock to decide and
  // to reset, so it never sees or cuts a packet half-fed.
  std::lock_guard<std::mutex> lock(link.parserMutex);
  p.linkState.store(LINK_RECEIVING);
  p.lastReceiveTick.store(link.host.TickCount());
  for (size_t i = 0; i < count; ++i) {
    PacketPtr packet = link.parser.Feed(data[i]);
    // A start mark without its second stays "receiving": going idle would
    // end the answer wait for good, and a damaged answer would then leave a
    // transfer hanging with no resend; the inter-byte timeout resends it.
    if (packet) {
      p.linkState.store(LINK_IDLE);
      // Post never waits for the handler thread, so holding the lock here
      // costs that thread at most one block's worth of waiting.
      link.host.Post(UiMessage{UiMessage::PACKET_RECEIVED, std::move(packet)});
    }
  }
}

bool CheckAnswerTimeouts(PacketLink& link) {
  ProtocolState& p = link.state;
  if (!p.transferActive.load()) return false;
  const char* fired = nullptr;
  {
    std::lock_guard<std::mutex> lock(link.parserMutex);
    // The clock is read under the lock: a block that arrived just before
    // stamped a tick no later than this one, so the unsigned difference
    // cannot run backwards into a huge value.
    uint32_t now = link.host.TickCount();
    switch (p.linkState.load()) {
      case LINK_AWAIT_REPLY: {
        uint32_t limit = p.lastHeader.Command() == RS232_LONG_COMMAND ? LONG_COMMAND_TIMEOUT_MS
                                                                      : ANSWER_TIMEOUT_MS;
        if (now - p.lastSendTick.load() > limit) fired = "WM_TIMER1 calling RS232_ResendPacket";
        break;
      }
      case LINK_RECEIVING:
        if (now - p.lastReceiveTick.load() > INTER_BYTE_TIMEOUT_MS) {
          fired = "WM_TIMER2 calling RS232_ResendPacket";
        }
        break;
      default:
        break;
    }
    if (fired) {
      // A partly received packet is dropped.
      link.parser.Reset();
      p.linkState.store(LINK_IDLE);
    }
  }
  if (!fired) return false;
  link.log.Add(fired);
  RS232_ResendPacket(link, LOCAL_TIMEOUT);
  return true;
}

}  // namespace quillon
