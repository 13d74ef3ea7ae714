// What the engine needs of the program it runs in: the millisecond tick and
// pauses, posting work to the thread that runs the handlers, the system's
// error texts, and the few file and process services the standard library
// lacks. The dialog layer's host adds the user interface.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace quillon {

struct ReceivedPacket;
// Releases a packet; defined beside the packet, so this header needs only
// its name.
struct PacketDeleter {
  void operator()(ReceivedPacket* packet) const;
};
using PacketPtr = std::unique_ptr<ReceivedPacket, PacketDeleter>;

// What the handler thread is asked to do later; posted from any thread.
struct UiMessage {
  enum Kind { PACKET_RECEIVED, BOOT_DONE, PORT_LOST } kind;
  PacketPtr packet;     // PACKET_RECEIVED
  bool success = true;  // BOOT_DONE: did the run finish its job
};

class Host {
 public:
  virtual ~Host() = default;

  // A free-running 32-bit millisecond tick; differences are taken unsigned.
  virtual uint32_t TickCount() = 0;
  virtual void Sleep(uint32_t ms) = 0;
  // Hands a message to the handler thread; never waits for it.
  virtual void Post(UiMessage message) = 0;
  // The system's text for an error code, or empty when it has none.
  virtual std::string SystemErrorText(int code) = 0;

  // Creates path for binary writing only when nothing of that name exists
  // (O_EXCL / CREATE_NEW), so no one else's file is ever written or
  // emptied; nullptr with errno set otherwise (EEXIST: the name is taken).
  virtual std::FILE* CreateNewFile(const std::string& path) = 0;
  // This process's id, and whether a process of that id still runs (true
  // when unknown): private directories are named after their run.
  virtual long ProcessId() = 0;
  virtual bool ProcessRunning(long pid) = 0;
};

}  // namespace quillon
