// The main dialog's routing: every window message and command identifier
// reaches the part of the program that handles it from here. The front ends
// translate their own events into these calls.
#pragma once

#include <memory>
#include <string>

#include "core/app/dialog_host.h"

namespace quillon {

struct App;
struct ReceivedPacket;

inline constexpr const char* APP_TITLE = "Tarnfield Quillon (v1.0.2) Software Download Utility";
inline constexpr const char* DEVICE_NAME = "Quillon";

// Private window messages.
constexpr unsigned WM_PACKET_RECEIVED = 0x0400 + 1;
constexpr unsigned WM_BOOT_DONE = 0x0400 + 2;

// Command and control identifiers of the main dialog.
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

// Guide pages and choices.
enum GuidePage : int {
  PAGE_CABLE = 1,
  PAGE_READYING = 2,
  PAGE_CHOICE = 3,
  PAGE_INSTRUCTIONS = 4,
  PAGE_IN_PROGRESS = 5,
  PAGE_COMPLETE = 6,
};
enum GuideChoice : int { CHOICE_SOFTWARE = 0, CHOICE_BOOTLOADER = 1 };

struct GuideState {
  int page = PAGE_CABLE;
  int choice = CHOICE_SOFTWARE;
};

enum PortMode : int { PORT_MODE_DETECT = 0, PORT_MODE_ASK = 1, PORT_MODE_COMMAND_LINE = 2 };

struct PortSelection {
  int mode = PORT_MODE_DETECT;
  int number = 0;
};

// The first "com", in any case and anywhere, followed by a decimal number
// selects the port.
void ParseCommandLine(App& app, std::string commandLine);

void OnInitDialog(App& app);
void OnCommand(App& app, int id);
void OnTimer(App& app);
void OnPacketReceived(App& app, std::unique_ptr<ReceivedPacket> packet);
// success: whether the bootloader run did its job.
void OnBootDone(App& app, bool success);
void OnDestroy(App& app);
// Routes one posted message to the handlers above.
void DispatchUiMessage(App& app, UiMessage message);

}  // namespace quillon
