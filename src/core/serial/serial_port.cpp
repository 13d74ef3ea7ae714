#include "core/serial/serial_port.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/app.h"
#include "core/app/event_log.h"
#include "core/app/main_dialog.h"
#include "core/serial/receive_thread.h"

namespace quillon {

namespace {

// The readout's line: 115200 baud, 8 data bits, odd parity, 1 stop bit, no
// flow control.
constexpr uint32_t LINK_BAUD = 115200;
constexpr uint8_t LINK_BYTE_SIZE = 8;
constexpr uint8_t LINK_PARITY = 1;
constexpr uint8_t LINK_STOP_BITS = 0;

constexpr unsigned FLOW_KNOWN_BITS = FLOW_DSR_DTR | FLOW_CTS_RTS | FLOW_XON_XOFF;

// Takes the open port off the link and closes it. The link is cleared first,
// so every other thread sees no port from here on; the wait cancel then ends
// the receive thread's pending wait on the old port, and the pause lets it
// step off before the close.
void ReleasePort(App& app, bool pauseAfter) {
  std::shared_ptr<SerialDevice> old = app.link.Exchange(nullptr);
  if (!old) return;
  old->CancelWait();
  app.host.Sleep(app.limits.closePauseMs);
  // Only a close that failed has an error of its own worth showing.
  int closeError = old->Close();
  LogLine(app, closeError, "Closing current device ...");
  if (pauseAfter) app.host.Sleep(app.limits.closePauseMs);
}

// Opens name and puts it on the link; reports a failure in the three usual
// ways. label is what the log lines call the port, boxName what the box does.
void OpenOnLink(App& app, const std::string& name, const std::string& label,
                const std::string& boxName) {
  int error = 0;
  std::shared_ptr<SerialDevice> port = RS232_OpenPort(
      app, name, LINK_BAUD, LINK_BYTE_SIZE, LINK_PARITY, LINK_STOP_BITS, 0, &error);
  if (port) {
    app.link.Exchange(port);
    WakeReceiveThread(app);
    LogLine(app, 0, "Device %s opened successfully.", label.c_str());
    return;
  }
  LogLine(app, error, "Unable to open com port.");
  app.host.Beep();
  app.host.ShowMessageBox("The USB port (" + boxName +
                          ") connection could not be opened.  Please check that all steps are "
                          "followed completely.",
                      APP_TITLE, MB_STYLE_ICONWARNING, true);
}

}  // namespace

std::shared_ptr<SerialDevice> RS232_OpenPort(App& app, const std::string& name, uint32_t baudRate,
                                             uint8_t byteSize, uint8_t parity, uint8_t stopBits,
                                             unsigned flow, int* error) {
  std::shared_ptr<SerialDevice> device = app.serial.Create();
  int code = 0;
  if (!device) {
    if (error) *error = 0;
    return nullptr;
  }
  LineSettings settings;
  settings.baudRate = baudRate;
  settings.byteSize = byteSize;
  settings.parity = parity;
  settings.stopBits = stopBits;
  settings.flow = flow & FLOW_KNOWN_BITS;
  if (!device->Open(name, settings, &code)) {
    if (error) *error = code;
    return nullptr;
  }
  return device;
}

void RS232_SetBaudRate(App& app, uint32_t baudRate) {
  std::shared_ptr<SerialDevice> port = app.link.Port();
  if (port) port->SetBaudRate(baudRate);
}

size_t RS232_ReadAvailable(App& app, uint8_t* buffer, size_t max) {
  std::shared_ptr<SerialDevice> port = app.link.Port();
  if (!port) return 0;
  size_t count = std::min(max, port->BytesWaiting());
  if (count == 0) return 0;
  size_t got = port->Read(buffer, count);
  // The queue said the bytes were there; none read means the read failed.
  if (got == 0) port->ClearError();
  return got;
}

size_t RS232_Write(App& app, const uint8_t* data, size_t length) {
  std::shared_ptr<SerialDevice> port = app.link.Port();
  if (!port) return 0;
  int error = 0;
  size_t written = port->Write(data, length, &error);
  if (written < length || error != 0) port->ClearError();
  return written;
}

void OpenDevice(App& app, int portNumber) {
  LogLine(app, 0, "Opening Device Com%d ...", portNumber);
  ReleasePort(app, true);
  // The log names the port "Com<n>"; the device name is the platform's own
  // (on Windows the \\.\ form, without which COM10 and up cannot be opened).
  char label[32];
  std::snprintf(label, sizeof label, "Com%d", portNumber);
  OpenOnLink(app, app.serial.PortName(portNumber), label, std::to_string(portNumber));
}

void OpenDevicePath(App& app, const std::string& path) {
  LogLine(app, 0, "Opening Device %s ...", path.c_str());
  ReleasePort(app, true);
  OpenOnLink(app, path, path, path);
}

void CloseDevice(App& app) { ReleasePort(app, false); }

}  // namespace quillon
