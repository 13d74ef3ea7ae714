// Opening, configuring, reading and closing the serial port.
#include "core/serial/serial_port.h"

#include <algorithm>

#include "core/host.h"
#include "core/log/event_log.h"

namespace quillon {

namespace {

constexpr uint8_t LINK_BYTE_SIZE = 8;
constexpr uint8_t LINK_PARITY = 1;  // odd
constexpr uint8_t LINK_STOP_BITS = 0;
constexpr unsigned FLOW_KNOWN_BITS = FLOW_DSR_DTR | FLOW_CTS_RTS | FLOW_XON_XOFF;

}  // namespace

std::shared_ptr<SerialDevice> RS232_OpenPort(SerialFactory& factory, const std::string& name,
                                             uint32_t baudRate, uint8_t byteSize, uint8_t parity,
                                             uint8_t stopBits, unsigned flow, int* error) {
  std::shared_ptr<SerialDevice> device = factory.Create();
  if (error) *error = 0;
  if (!device) return nullptr;
  LineSettings settings;
  settings.baudRate = baudRate;
  settings.byteSize = byteSize;
  settings.parity = parity;
  settings.stopBits = stopBits;
  settings.flow = flow & FLOW_KNOWN_BITS;
  SerialResult opened = device->Open(name, settings);
  if (!opened) {
    if (error) *error = opened.code;
    return nullptr;
  }
  return device;
}

SerialResult RS232_SetBaudRate(SerialLink& link, uint32_t baudRate) {
  if (auto port = link.Port()) return port->SetBaudRate(baudRate);
  return {SerialStatus::FAILED, 0, 0};
}

std::string BaudRateFailure(uint32_t baudRate, const SerialResult& result) {
  return "the port could not be set to " + std::to_string(baudRate) + " baud (error " +
         std::to_string(result.code) + ")";
}

size_t RS232_ReadAvailable(SerialLink& link, uint8_t* buffer, size_t max) {
  std::shared_ptr<SerialDevice> port = link.Port();
  if (!port) return 0;
  size_t count = std::min(max, port->BytesWaiting().count);
  if (count == 0) return 0;
  SerialResult got = port->Read(buffer, count);
  // The queue said the bytes were there; none read means the read failed.
  if (got.count == 0) port->ClearError();
  return got.count;
}

void ClosePortOnLink(SerialLink& link, EventLog& log, Host& host, uint32_t closePauseMs,
                     bool pauseAfter) {
  // The link is cleared first, so every other thread sees no port from here
  // on; the cancel then ends the receive thread's wait on the old port.
  std::shared_ptr<SerialDevice> old = link.Exchange(nullptr);
  if (!old) return;
  old->CancelWait();
  host.Sleep(closePauseMs);
  // Only a close that failed has an error of its own worth showing.
  LogLine(log, old->Close().code, "Closing current device ...");
  if (pauseAfter) host.Sleep(closePauseMs);
}

bool OpenPortOnLink(SerialLink& link, SerialFactory& factory, EventLog& log, Host& host,
                    uint32_t closePauseMs, const std::string& name, const std::string& label,
                    int* error) {
  LogLine(log, 0, "Opening Device %s ...", label.c_str());
  ClosePortOnLink(link, log, host, closePauseMs, true);
  int code = 0;
  std::shared_ptr<SerialDevice> port = RS232_OpenPort(factory, name, LINK_BAUD, LINK_BYTE_SIZE,
                                                      LINK_PARITY, LINK_STOP_BITS, 0, &code);
  if (error) *error = code;
  if (!port) {
    LogLine(log, code, "Unable to open com port.");
    return false;
  }
  link.Exchange(port);
  LogLine(log, 0, "Device %s opened successfully.", label.c_str());
  return true;
}

}  // namespace quillon
