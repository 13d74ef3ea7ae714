// A receive's part file: a free name beside the replaced file, created
// exclusively through the host, renamed over that file only when whole.
#include "core/transfer/part_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/host.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

// Names tried for a part before giving up: TARGET.part and 99 numbered ones.
constexpr int PART_NAMES = 100;
// As the system's own limit on links followed for one name.
constexpr int LINK_HOPS_MAX = 40;

std::string PartName(const std::string& target, int n) {
  return n == 0 ? target + PART_SUFFIX : target + "." + std::to_string(n) + PART_SUFFIX;
}

}  // namespace

std::string ReplacedFile(const std::string& dest) {
  fs::path path = dest;
  std::error_code error;
  for (int hop = 0; hop <= LINK_HOPS_MAX; ++hop) {
    if (!fs::is_symlink(fs::symlink_status(path, error))) return path.string();
    fs::path next = fs::read_symlink(path, error);
    if (error) return path.string();
    path = next.is_absolute() ? next : path.parent_path() / next;
  }
  return {};
}

std::FILE* CreatePartFile(Host& host, const std::string& target, std::string* part,
                          std::string* why, std::string* note) {
  for (int n = 0; n < PART_NAMES; ++n) {
    const std::string name = PartName(target, n);
    errno = 0;
    std::FILE* file = host.CreateNewFile(name);
    if (!file && errno == EEXIST) continue;
    if (!file) {
      *why = name + ": " + std::strerror(errno);
      return nullptr;
    }
    *part = name;
    // A private file's data must not sit readable by others while it comes.
    std::error_code error;
    fs::file_status status = fs::status(target, error);
    if (!error && fs::is_regular_file(status)) {
      fs::perms own = fs::perms::owner_read | fs::perms::owner_write;
      fs::permissions(name, (status.permissions() & fs::perms::all) | own,
                      fs::perm_options::replace, error);
      if (error) {
        *note = "the permissions of " + target + " could not be given to " + name + ": " +
                error.message();
      }
    }
    return file;
  }
  *why = "no free name for the part of " + target + ": " + PartName(target, 0) + " to " +
         PartName(target, PART_NAMES - 1) + " are taken";
  return nullptr;
}

bool CommitPartFile(const std::string& part, const std::string& target, std::string* why,
                    std::string* note) {
  std::error_code error;
  fs::file_status status = fs::status(target, error);
  if (!error && fs::is_regular_file(status)) {
    fs::permissions(part, status.permissions() & fs::perms::mask, fs::perm_options::replace, error);
    if (error) *note = "the permissions of " + target + " could not be kept: " + error.message();
  }
  error.clear();
  fs::rename(part, target, error);
  if (error) {
    *why = "cannot put the received file in place: " + target + ": " + error.message();
    return false;
  }
  return true;
}

}  // namespace quillon
