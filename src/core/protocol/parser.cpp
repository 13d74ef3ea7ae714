// The receiving side of the packet link: blocks of bytes from the receive
// thread become packets posted to the UI thread, and the UI thread's timer
// repeats the last packet when its answer does not come.

#include "core/protocol/parser.h"

#include <cstdio>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/app/main_dialog.h"
#include "core/protocol/dispatcher.h"

namespace quillon {

namespace {

constexpr uint32_t ANSWER_TIMEOUT_MS = 500;
constexpr uint32_t LONG_COMMAND_TIMEOUT_MS = 2500;
constexpr uint32_t INTER_BYTE_TIMEOUT_MS = 100;

}  // namespace

int RS232_ReceiveBytes(App& app, const uint8_t* data, size_t count) {
  ProtocolState& p = app.protocol;
  // One lock per block: the timeout check takes the same lock to decide and
  // to reset, so it never sees or cuts a packet half-fed.
  std::lock_guard<std::mutex> lock(app.parser.mutex);
  p.linkState.store(LINK_RECEIVING);
  p.lastReceiveTick.store(app.host.TickCount());
  FrameParser& frame = app.parser.frame;
  for (size_t i = 0; i < count; ++i) {
    std::unique_ptr<ReceivedPacket> packet = frame.Feed(data[i]);
    // A start mark without its second stays "receiving": going idle would
    // end the answer wait for good, and a damaged answer would then leave a
    // transfer hanging with no resend; the inter-byte timeout resends it.
    if (packet) {
      p.linkState.store(LINK_IDLE);
      // Post never waits for the UI thread, so holding the lock here costs
      // the UI thread at most one block's worth of waiting.
      app.host.Post(UiMessage{UiMessage::PACKET_RECEIVED, std::move(packet)});
    }
  }
  return 1;
}

void RS232_CheckTimeouts(App& app) {
  ProtocolState& p = app.protocol;
  if (p.transferActive.load() == 0) {
    app.host.SetControlText(IDC_STATUS_LINE, "");
    return;
  }

  uint32_t elapsed = app.host.TickCount() - app.session.startTick;
  char status[96];
  std::snprintf(status, sizeof status, "Elapsed Time: %d   Retry Count: %d  ",
                static_cast<int>(elapsed / 1000), static_cast<int>(p.totalRetryCount.load()));
  app.host.SetControlText(IDC_STATUS_LINE, status);

  const char* fired = nullptr;
  {
    std::lock_guard<std::mutex> lock(app.parser.mutex);
    // The clock is read under the lock: a block that arrived just before
    // stamped a tick no later than this one, so the unsigned difference
    // cannot run backwards into a huge value.
    uint32_t now = app.host.TickCount();
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
      app.parser.frame.Reset();
      p.linkState.store(LINK_IDLE);
    }
  }
  if (!fired) return;
  AddLogText(app, fired);
  RS232_ResendPacket(app, LOCAL_TIMEOUT);
}

}  // namespace quillon
