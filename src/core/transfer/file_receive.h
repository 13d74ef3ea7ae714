#pragma once

#include <string>

namespace quillon {

struct App;
struct ReceivedPacket;

constexpr size_t PROGRAM_NAME_MAX = 63;

bool StartFileReceive(App& app, int commandId, const char* logText);
// Command 1024: the program-name prompt, then the receive.
void RunProgramReceive(App& app);

void HandleFileSize(App& app, ReceivedPacket& packet);   // 20
void HandleFileData(App& app, ReceivedPacket& packet);   // 21
void HandleFileEnd(App& app, ReceivedPacket& packet);    // 22

}  // namespace quillon
