#include "cli/outcome.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace quillon::cli {

ResultKind ClassifyResultText(const std::string& text) {
  static const char* const successes[] = {
      "Transfer of settings sucessfully completed.",
      "Transfer of program sucessfully completed.",
      "Bitmap Transfer sucessfully completed.",
      "Binary Transfer sucessfully completed.",
      // What a result without a chosen notifier, or an NLEC notifier, shows.
      "Transfer complete.",
  };
  for (const char* success : successes) {
    if (text == success) return ResultKind::SUCCESS;
  }
  static const std::string nlecDone = "NLEC Transfer completed in ";
  if (text.compare(0, nlecDone.size(), nlecDone) == 0) return ResultKind::SUCCESS;
  return ResultKind::FAILURE;
}

std::string DescribeOpenError(int code) {
  switch (code) {
    case 0:
      return {};
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "the port does not exist (is the readout connected?)";
    case EACCES:
    case EPERM:
      return "permission denied; add yourself to the dialout group (sudo usermod -aG dialout $USER, "
             "then log in again) or install the udev rule 60-quillon.rules";
    case EBUSY:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN:
      return "the port is busy: another program has it open";
    default:
      return std::strerror(code);
  }
}

std::string CheckReadableFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return path + ": " + std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return path + ": is a directory";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return path + ": " + std::strerror(errno);
  ::close(fd);
  return {};
}

std::string CheckWritableFile(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return path + ": is a directory";
    if (::access(path.c_str(), W_OK) != 0) return path + ": " + std::strerror(errno);
    return {};
  }
  if (errno != ENOENT) return path + ": " + std::strerror(errno);
  std::filesystem::path dir = std::filesystem::path(path).parent_path();
  if (dir.empty()) dir = ".";
  if (::stat(dir.c_str(), &info) != 0) return path + ": " + std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return path + ": " + std::strerror(ENOTDIR);
  if (::access(dir.c_str(), W_OK) != 0) return path + ": " + std::strerror(errno);
  return {};
}

}  // namespace quillon::cli
