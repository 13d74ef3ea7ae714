// Streaming a firmware image raw to the readout's bootloader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillon {

struct App;

inline constexpr const char* IMAGE_BOOTLOADER = "ZYN_BOOTLOADER";
inline constexpr const char* IMAGE_SOFTWARE = "ZYN_SOFTWARE";
constexpr size_t IMAGE_BLOCK_SIZE = 16384;
// Baud rate the line is left at after a download.
constexpr uint32_t BAUD_AFTER_DOWNLOAD = 38400;
// Pause before a failed write is offered again, so a dead port is not spun on.
constexpr uint32_t WRITE_RETRY_PAUSE_MS = 20;

// Where the embedded images come from: resources on Windows, data linked
// into the binary elsewhere, a file the user gave, or a test's bytes.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // 0 when found (data and size filled); otherwise the failing step:
  // 1 not found, 2 empty, 3 cannot load, 4 cannot lock. On 3 and 4 *size
  // holds the size when it is known.
  // Called on the UI thread only, never while a bootloader worker runs; the
  // data must stay valid until the next Lookup.
  virtual int Lookup(const std::string& name, const uint8_t** data, size_t* size) = 0;
};

enum DownloadKind : int { DOWNLOAD_SOFTWARE = 0, DOWNLOAD_BOOTLOADER = 1 };

struct ImageDownload {
  // 1 while a download or erase worker does its job.
  std::atomic<int> bootBusy{0};
  std::atomic<uint32_t> downloadSize{0};
  // Written by the start, then only by the worker it starts.
  const uint8_t* imageCursor = nullptr;
  uint32_t remaining = 0;
  int64_t imageSize = 0;
  std::atomic<int64_t> sentCount{0};
  int downloadKind = DOWNLOAD_SOFTWARE;

  // Asks a running worker to give up (the program is closing).
  std::atomic<bool> stopRequested{false};
  // Guards the erase's use of the receive thread's byte tap against a
  // concurrent stop: the tap is cancelled only while the erase waits on it.
  std::mutex tapMutex;
  bool waitingForAnswer = false;  // under tapMutex
  std::thread worker;
};

// Both return 1 when the worker was started, 0 when refused.
int StartImageDownload(App& app, uint32_t baudRate);
int StartBootloaderDownload(App& app);
// Joins the worker. The UI thread calls this on the completion message (the
// worker has then finished its job) and at shutdown, when a worker still at
// work is asked to stop first so closing never waits on a dead line.
void JoinBootWorker(App& app);

// Shared by the download and the erase: false while a worker is busy or its
// completion message has not yet been handled (JoinBootWorker not yet run),
// so a stale completion message can never be taken for a new run's.
bool BootWorkerIdle(App& app);
// Refuses a bootloader start on the UI thread when no port is open, telling
// the user why; returns true when a port is open.
bool RequireOpenPort(App& app, const char* logText, const char* boxText);
// The text of the start's error box for a failed image lookup step (1-4).
std::string ImageErrorText(int step, bool bootloader);

void ImageDownloadThread(App& app);

}  // namespace quillon
