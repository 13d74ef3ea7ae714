#pragma once

#include <cstdint>
#include <string>

namespace quillon {

struct App;
struct ReceivedPacket;

bool StartFileSend(App& app, int commandId, const char* logText);
void ComputeSumAndCount(App& app);
void SendFileHeader(App& app);
bool IsHexDigit(int c);
// Converts a bitmap listing (text) into bytes, with the listing's quirks.
std::string ConvertBitmapText(const std::string& text);

void HandleFileChunkRequest(App& app, ReceivedPacket& packet);  // 10, 11
void HandleFileSendResult(App& app, ReceivedPacket& packet);    // 12
void HandleFileError(App& app, ReceivedPacket& packet);         // 13

}  // namespace quillon
