// Received packets: checksum verification and routing by command code.
#pragma once

#include <memory>
#include <string>

namespace quillon {

struct App;
struct ReceivedPacket;

enum CommandCode : unsigned {
  RS232_CMD_BAD_CHECKSUM = 1,
  RS232_RESEND_REMOTE_TIMEOUT = 2,
  RS232_LOG = 3,
  RS232_NLEC_SEND_START = 5,
  RS232_NLEC_LINE = 6,
  RS232_NLEC_SEND_END = 7,
  RS232_NLEC_ERROR = 8,
  RS232_FILE_SEND_START = 10,
  RS232_FILE_CHUNK = 11,
  RS232_FILE_SEND_END = 12,
  RS232_FILE_ERROR = 13,
  RS232_LONG_COMMAND = 14,
  RS232_FLASH_ERASE_RESULT = 15,
  RS232_NLEC_GET_START = 16,
  RS232_NLEC_GET_LINE = 17,
  RS232_NLEC_GET_END = 18,
  RS232_TEST = 19,
  RS232_FILE_GET_START = 20,
  RS232_FILE_GET_DATA = 21,
  RS232_FILE_GET_END = 22,
  RS232_NOP = 23,
};

void RS232_DispatchPacket(App& app, std::unique_ptr<ReceivedPacket> packet);
void RS232_LogPacket(App& app, const char* prefix, const ReceivedPacket& packet);
// Command 1003: the test packet "100000".
void SendTestPacket(App& app);

}  // namespace quillon
