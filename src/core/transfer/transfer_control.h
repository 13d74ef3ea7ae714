// What the four transfers share: the open transfer files, the start
// sequence, the file choosers, the start table and the stop command.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/app/dialog_host.h"

namespace quillon {

struct App;
class ResultNotifier;

// A chosen path holds at most this many characters.
constexpr size_t TRANSFER_NAME_MAX = 255;

struct TransferFile {
  std::FILE* file = nullptr;
  std::string name;  // at most 255 characters
  uint16_t sum = 0;
  int32_t count = 0;
};

constexpr const char* BITMAP_FILE_NAME = "bitmap.bin";

// Whether everything written to an open file has reached it (buffers are
// flushed first). A file that is not open counts as written.
bool AllWritten(const TransferFile& file);

void CloseDataFile(App& app);
void CloseNlecFile(App& app);
// Process exit: the NlecFile first, then the DataFile.
void CloseTransferFiles(App& app);

void BeginTransfer(App& app, int commandId, ResultNotifier* notifier);
// The system's file choosers; a chosen path longer than TRANSFER_NAME_MAX
// is cut. false on cancel.
bool ChooseOpenFile(App& app, std::string& name, const FileFilter& filter);
bool ChooseSaveFile(App& app, std::string& name, const FileFilter& filter);
const FileFilter& FileTransferFilter();
const FileFilter& NlecFilter();

// Routes start commands 1004, 1018 and 1021 to 1025.
void RunTransferCommand(App& app, int commandId);
void StopNlecTransfer(App& app);

}  // namespace quillon
