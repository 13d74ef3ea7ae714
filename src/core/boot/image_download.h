// Streaming a firmware image raw to the readout's bootloader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace quillon {

struct App;

inline constexpr const char* IMAGE_BOOTLOADER = "ZYN_BOOTLOADER";
inline constexpr const char* IMAGE_SOFTWARE = "ZYN_SOFTWARE";
constexpr size_t IMAGE_BLOCK_SIZE = 16384;

// Where the embedded images come from: resources on Windows, data linked
// into the binary elsewhere, a file the user gave, or a test's bytes.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // 0 when found (data and size filled); otherwise the failing step:
  // 1 not found, 2 empty, 3 cannot load, 4 cannot lock.
  virtual int Lookup(const std::string& name, const uint8_t** data, size_t* size) = 0;
};

enum DownloadKind : int { DOWNLOAD_SOFTWARE = 0, DOWNLOAD_BOOTLOADER = 1 };

struct ImageDownload {
  std::atomic<int> bootBusy{0};
  std::atomic<uint32_t> downloadSize{0};
  const uint8_t* imageCursor = nullptr;
  uint32_t remaining = 0;
  int64_t imageSize = 0;
  std::atomic<int64_t> sentCount{0};
  int downloadKind = DOWNLOAD_SOFTWARE;
  std::thread worker;
};

int StartImageDownload(App& app, uint32_t baudRate);
int StartBootloaderDownload(App& app);
// Joins a finished worker (the UI thread calls this on the completion message
// and at shutdown).
void JoinBootWorker(App& app);

}  // namespace quillon
