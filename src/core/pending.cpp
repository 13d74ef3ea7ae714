// TEMPORARY during parallel development: weak placeholders for operations
// whose modules are being written. Each aborts loudly if reached. A real
// definition anywhere overrides it. This file is deleted before release.
#include <cstdio>
#include <cstdlib>

#include "core/app.h"
#include "core/app/guide.h"
#include "core/app/indicator.h"
#include "core/app/port_selection.h"
#include "core/boot/flash_erase.h"
#include "core/boot/image_download.h"
#include "core/protocol/dispatcher.h"
#include "core/protocol/parser.h"
#include "core/serial/receive_thread.h"
#include "core/serial/serial_port.h"
#include "core/transfer/file_receive.h"
#include "core/transfer/file_send.h"
#include "core/transfer/nlec.h"
#include "core/transfer/transfer_control.h"

#define PENDING(name)                                     \
  do {                                                    \
    std::fprintf(stderr, "not implemented yet: %s\n", name); \
    std::abort();                                         \
  } while (0)
#define W __attribute__((weak))

namespace quillon {
W void RenderGuidePage(App&) { PENDING("RenderGuidePage"); }
W void GuideNext(App&) { PENDING("GuideNext"); }
W void GuideBack(App&) { PENDING("GuideBack"); }
W void UpdateConnectionIndicator(App&) { PENDING("UpdateConnectionIndicator"); }
W unsigned ResolvePortNumber(App&) { PENDING("ResolvePortNumber"); }
W void StartFlashErase(App&) { PENDING("StartFlashErase"); }
W int StartImageDownload(App&, uint32_t) { PENDING("StartImageDownload"); }
W int StartBootloaderDownload(App&) { PENDING("StartBootloaderDownload"); }
W void JoinBootWorker(App&) {}
W void RS232_DispatchPacket(App&, std::unique_ptr<ReceivedPacket>) { PENDING("RS232_DispatchPacket"); }
W void SendTestPacket(App&) { PENDING("SendTestPacket"); }
W int RS232_SendPacket(App&, uint16_t, const uint8_t*, uint16_t) { PENDING("RS232_SendPacket"); }
W int RS232_SendText(App&, uint16_t, const std::string&) { PENDING("RS232_SendText"); }
W int RS232_ResendPacket(App&, ResendCause) { PENDING("RS232_ResendPacket"); }
W int RS232_ReceiveBytes(App&, const uint8_t*, size_t) { PENDING("RS232_ReceiveBytes"); }
W void RS232_CheckTimeouts(App&) { PENDING("RS232_CheckTimeouts"); }
W void StartReceiveThread(App&) {}
W void StopReceiveThread(App&) {}
W std::shared_ptr<SerialDevice> RS232_OpenPort(App&, const std::string&, uint32_t, uint8_t, uint8_t,
                                               uint8_t, unsigned, int*) { PENDING("RS232_OpenPort"); }
W void RS232_SetBaudRate(App&, uint32_t) { PENDING("RS232_SetBaudRate"); }
W size_t RS232_Write(App&, const uint8_t*, size_t) { PENDING("RS232_Write"); }
W void OpenDevice(App&, int) { PENDING("OpenDevice"); }
W void OpenDevicePath(App&, const std::string&) { PENDING("OpenDevicePath"); }
W void CloseDevice(App&) { PENDING("CloseDevice"); }
W void CloseDataFile(App&) { PENDING("CloseDataFile"); }
W void CloseNlecFile(App&) { PENDING("CloseNlecFile"); }
W void CloseTransferFiles(App&) {}
W void RunTransferCommand(App&, int) { PENDING("RunTransferCommand"); }
W void HandleFileChunkRequest(App&, ReceivedPacket&) { PENDING("HandleFileChunkRequest"); }
W void HandleFileSendResult(App&, ReceivedPacket&) { PENDING("HandleFileSendResult"); }
W void HandleFileError(App&, ReceivedPacket&) { PENDING("HandleFileError"); }
W void HandleFileSize(App&, ReceivedPacket&) { PENDING("HandleFileSize"); }
W void HandleFileData(App&, ReceivedPacket&) { PENDING("HandleFileData"); }
W void HandleFileEnd(App&, ReceivedPacket&) { PENDING("HandleFileEnd"); }
W void HandleNlecLineRequest(App&, ReceivedPacket&) { PENDING("HandleNlecLineRequest"); }
W void HandleNlecSendResult(App&, ReceivedPacket&) { PENDING("HandleNlecSendResult"); }
W void HandleNlecError(App&, ReceivedPacket&) { PENDING("HandleNlecError"); }
W void HandleNlecLineCount(App&, ReceivedPacket&) { PENDING("HandleNlecLineCount"); }
W void HandleNlecLine(App&, ReceivedPacket&) { PENDING("HandleNlecLine"); }
W void HandleNlecLastLine(App&, ReceivedPacket&) { PENDING("HandleNlecLastLine"); }
}  // namespace quillon
