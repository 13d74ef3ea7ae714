// Everything the core keeps for one run of the program, in one place. The
// original design has these as process-wide records; holding them in one
// object lets the tests start each case from a clean run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/app/event_log.h"
#include "core/app/indicator.h"
#include "core/app/main_dialog.h"
#include "core/boot/image_download.h"
#include "core/app/dialog_host.h"
#include "core/protocol/packet.h"
#include "core/protocol/parser.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "core/serial_device.h"
#include "core/transfer/session.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

// Bounds that the original design lacks; tests shorten them.
struct Limits {
  // A bootloader run whose writes make no progress for this long fails.
  uint32_t writeStallMs = 5000;
  // An erase whose answer does not come within this time fails.
  uint32_t eraseAnswerMs = 120000;
  // Pause between two receive waits that failed at once.
  uint32_t failedWaitPauseMs = 100;
  // Pause around a port close (lets a pending wait on it end).
  uint32_t closePauseMs = 250;
};

struct App {
  App(DialogHost& hostIn, SerialFactory& serialIn, ImageSource* imagesIn = nullptr)
      : host(hostIn), serial(serialIn), images(imagesIn) {
    session.messageCaption = APP_TITLE;
  }
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  DialogHost& host;
  SerialFactory& serial;
  ImageSource* images;
  Limits limits;

  EventLog log;
  GuideState guide;
  PortSelection portSelection;
  int indicatorState = INDICATOR_NO_PORT;
  SerialLink link;
  ReceiveThreadState receiver;
  ImageDownload boot;
  ProtocolState protocol;
  ParserState parser;
  TransferSession session;
  TransferFile dataFile;
  TransferFile nlecFile;
  std::string programName;
};

}  // namespace quillon
