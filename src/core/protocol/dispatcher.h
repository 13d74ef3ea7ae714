// Received packets: checksum verification and routing by command code.
#pragma once

#include <memory>
#include <string>

namespace quillon {

struct PacketLink;
struct ReceivedPacket;

// Who acts on the packets that are not the link's own business.
class PacketHandler {
 public:
  virtual ~PacketHandler() = default;
  // Codes 5-8, 10-13, 16-18 and 20-22, after the checksum was verified.
  virtual void OnTransferPacket(ReceivedPacket& packet) = 0;
  // Code 15: the readout's flash-erase result text.
  virtual void OnFlashEraseResult(const std::string& text) = 0;
};

void RS232_DispatchPacket(PacketLink& link, ReceivedPacket& packet, PacketHandler& handler);
void RS232_LogPacket(PacketLink& link, const char* prefix, const ReceivedPacket& packet);
// A packet that answered nothing the host sent (or that its handler
// ignored) must not end the wait for the real answer: the wait goes on
// from the last send.
void ResumeAnswerWait(PacketLink& link);
// The test packet "100000".
void SendTestPacket(PacketLink& link);

}  // namespace quillon
