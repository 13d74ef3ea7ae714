#pragma once

namespace quillon {

struct App;
struct ReceivedPacket;

bool StartNlecSend(App& app, int commandId);
bool StartNlecGet(App& app, int commandId);

void HandleNlecLineRequest(App& app, ReceivedPacket& packet);  // 5, 6
void HandleNlecSendResult(App& app, ReceivedPacket& packet);   // 7
void HandleNlecError(App& app, ReceivedPacket& packet);        // 8
void HandleNlecLineCount(App& app, ReceivedPacket& packet);    // 16
void HandleNlecLine(App& app, ReceivedPacket& packet);         // 17
void HandleNlecLastLine(App& app, ReceivedPacket& packet);     // 18

}  // namespace quillon
