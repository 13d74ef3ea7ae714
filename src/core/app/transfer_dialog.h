// The dialog's half of the maintenance transfers: the file choosers, the
// starts by command identifier, the start button's caption, the result
// messages, the stop command and the transfer status line.
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

#include <string>

#include "core/app/app.h"

namespace quillon {

enum class Report { RETRY_EXCEEDED, COMPLETE, SUCCESS, FAILURE };

// The reporting rule: restore the start button, beep, then report through
// the notifier, or log and show the text as it is when none was ever set.
void RestoreStartButton(App& app);
int ReportResult(App& app, Report which, const std::string& text);

void BeginTransfer(App& app, int commandId, ResultNotifier* notifier);
// The system's file choosers; false on cancel.
bool ChooseOpenFile(App& app, std::string& name, const FileFilter& filter);
bool ChooseSaveFile(App& app, std::string& name, const FileFilter& filter);
const FileFilter& FileTransferFilter();
const FileFilter& NlecFilter();

bool StartFileSend(App& app, int commandId, const char* logText);
bool StartFileReceive(App& app, int commandId, const char* logText);
// Command 1024: the program-name prompt, then the receive.
void RunProgramReceive(App& app);
bool StartNlecSend(App& app, int commandId);
bool StartNlecGet(App& app, int commandId);
void StopNlecTransfer(App& app);
// Routes start commands 1004, 1018 and 1021 to 1025.
void RunTransferCommand(App& app, int commandId);
// Every tick: the status line, then the answer timeouts.
void RS232_CheckTimeouts(App& app);
// What the user sees when a transfer ends.
void OnTransferEnd(App& app, const JobEnd& end);

}  // namespace quillon
