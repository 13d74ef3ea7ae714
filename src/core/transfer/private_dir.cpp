// Private temporary directories and the removal of those a killed run left.
#include "core/transfer/private_dir.h"

#include <cctype>
#include <filesystem>
#include <mutex>
#include <random>

#include "core/host.h"
#include "core/transfer/transfer_control.h"

namespace quillon {

namespace fs = std::filesystem;

namespace {

constexpr const char* PREFIX = "quillon-";

// The process id in a name quillon-<pid>-<n>, or 0 when the name is not one.
long OwnerOf(const std::string& name) {
  const std::string prefix = PREFIX;
  if (name.rfind(prefix, 0) != 0) return 0;
  const size_t dash = name.find('-', prefix.size());
  if (dash == std::string::npos || dash == prefix.size() || dash + 1 == name.size()) return 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (i != dash && !std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
  }
  if (dash - prefix.size() > 9) return 0;
  return std::stol(name.substr(prefix.size(), dash - prefix.size()));
}

// Whether dir holds only files the program puts there (the bitmap's).
bool HoldsOnlyOurFiles(const fs::path& dir) {
  std::error_code error;
  fs::directory_iterator it(dir, error);
  if (error) return false;
  for (const fs::directory_entry& entry : it) {
    if (entry.path().filename() != BITMAP_FILE_NAME || !entry.is_regular_file(error)) return false;
  }
  return true;
}

void RemoveLeft(Host& host, const std::function<void(const std::string&)>& report) {
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  if (error) return;
  fs::directory_iterator it(base, error);
  if (error) return;
  for (const fs::directory_entry& entry : it) {
    const long pid = OwnerOf(entry.path().filename().string());
    // A link is never followed, and a live run's directory is its own.
    if (pid == 0 || !entry.is_directory(error) || entry.is_symlink(error)) continue;
    if (pid == host.ProcessId() || host.ProcessRunning(pid)) continue;
    if (!HoldsOnlyOurFiles(entry.path())) continue;
    fs::remove(entry.path() / BITMAP_FILE_NAME, error);
    if (!error) fs::remove(entry.path(), error);
    if (error) {
      report("Cannot remove " + entry.path().string() +
             " left by an earlier run: " + error.message());
    }
  }
}

}  // namespace

std::string MakePrivateDir(Host& host) {
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  if (error) return {};
  std::random_device random;
  const std::string prefix = PREFIX + std::to_string(host.ProcessId()) + "-";
  // create_directory fails on a name that exists, so the directory is ours alone.
  for (int attempt = 0; attempt < 16; ++attempt) {
    const fs::path dir = base / (prefix + std::to_string(random() % 1000000000u));
    if (fs::create_directory(dir, error) && !error) {
      fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, error);
      if (!error) return dir.string();
      fs::remove(dir, error);
      return {};
    }
  }
  return {};
}

void RemoveLeftPrivateDirs(Host& host, const std::function<void(const std::string&)>& report) {
  static std::once_flag once;
  std::call_once(once, [&] { RemoveLeft(host, report); });
}

}  // namespace quillon
