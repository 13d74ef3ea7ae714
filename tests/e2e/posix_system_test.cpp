#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/posix/posix_system.h"

namespace quillon {
namespace {

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string MakeTempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/quillon-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  return ::mkdtemp(buffer.data()) ? buffer.data() : "";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(PosixSystem, TempFilesAreNewEmptyAndInTmpdirAndErrorTextsAreTheSystems) {
  EXPECT_EQ(posix::SystemErrorText(0), "");
  EXPECT_EQ(posix::SystemErrorText(ENOENT), std::strerror(ENOENT));
  std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  ScopedEnv tmpdir("TMPDIR", dir.c_str());
  std::string a, b;
  ASSERT_TRUE(posix::CreateTempFile("qcl", a));
  ASSERT_TRUE(posix::CreateTempFile("qcl", b));
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(dir + "/qcl", 0), 0u) << a;
  struct stat info {};
  ASSERT_EQ(::stat(a.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
  EXPECT_EQ(info.st_mode & 0077, 0u);  // private to the user
  // A prefix cannot lead the file out of the directory.
  std::string c;
  ASSERT_TRUE(posix::CreateTempFile("../x", c));
  EXPECT_EQ(c.rfind(dir + "/.._x", 0), 0u) << c;
  ::unlink(a.c_str());
  ::unlink(b.c_str());
  ::unlink(c.c_str());

  ScopedEnv missing("TMPDIR", (dir + "/no-such-dir").c_str());
  EXPECT_FALSE(posix::CreateTempFile("qcl", a));
  ::rmdir(dir.c_str());
}

TEST(PosixSystem, ViewerGetsThePathAsOneArgumentOrThePathIsReported) {
  std::string dir = MakeTempDir();
  ASSERT_FALSE(dir.empty());
  std::vector<std::string> reported;
  auto report = [&](const std::string& path) { reported.push_back(path); };

  {
    ScopedEnv display("DISPLAY", nullptr);
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    posix::OpenInViewer("/tmp/a log.txt", report);
    EXPECT_EQ(reported, (std::vector<std::string>{"/tmp/a log.txt"}));
  }

  // A stand-in xdg-open that records its arguments.
  std::string out = dir + "/args";
  std::string script = dir + "/xdg-open";
  {
    std::ofstream file(script);
    file << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" << out << ".tmp'\nmv '" << out
         << ".tmp' '" << out << "'\n";
  }
  ::chmod(script.c_str(), 0700);
  {
    ScopedEnv display("DISPLAY", ":99");
    ScopedEnv path("PATH", (dir + ":/usr/bin:/bin").c_str());
    reported.clear();
    posix::OpenInViewer("/tmp/a log; rm -rf x.txt", report);
    EXPECT_TRUE(reported.empty());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::access(out.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    EXPECT_EQ(ReadAll(out), "1|/tmp/a log; rm -rf x.txt");
  }
  {
    // No viewer to be found: the user still learns where the file is.
    ScopedEnv display("DISPLAY", ":99");
    ScopedEnv path("PATH", (dir + "/none").c_str());
    reported.clear();
    posix::OpenInViewer("/tmp/b.txt", report);
    EXPECT_EQ(reported, (std::vector<std::string>{"/tmp/b.txt"}));
  }
  ::unlink(out.c_str());
  ::unlink(script.c_str());
  ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace quillon
