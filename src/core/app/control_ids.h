// Command and control identifiers of the main dialog.
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

namespace quillon {

enum ControlId : int {
  IDC_CANCEL = 2,
  IDC_PORT_NUMBER = 1000,
  IDC_CLEAR_LOG = 1001,
  IDC_EVENT_LOG = 1002,
  IDC_TEST = 1003,
  IDC_NLEC_SEND = 1004,
  IDC_RAW_LOGGING = 1005,
  IDC_EXPORT_ALL = 1006,
  IDC_EXPORT_SELECTED = 1007,
  IDC_STATUS_LINE = 1008,
  IDC_FLASH_ERASE = 1014,
  IDC_IMAGE_DOWNLOAD = 1015,
  IDC_NEXT = 1016,
  IDC_BACK = 1017,
  IDC_NLEC_GET = 1018,
  IDC_BOOTLOADER_DOWNLOAD = 1019,
  IDC_SEND_BITMAP = 1021,
  IDC_RECEIVE_SETTINGS = 1022,
  IDC_SEND_SETTINGS = 1023,
  IDC_RECEIVE_PROGRAM = 1024,
  IDC_SEND_PROGRAM = 1025,
  IDC_PROMPT = 1026,
  IDC_STEP_TITLE = 1027,
  IDC_LOWER_TEXT = 1028,
  IDC_UPPER_TEXT = 1029,
  IDC_CLOSE = 1030,
};

}  // namespace quillon
