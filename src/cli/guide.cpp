// The six-page download guide on a terminal: the guide's own texts, page by
// page, with the keys that stand for its buttons.
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/image_identity.h"
#include "cli/options.h"
#include "cli/port_choice.h"
#include "cli/progress.h"
#include "cli/queue_host.h"
#include "cli/runner.h"
#include "cli/text_escape.h"
#include "core/engine/engine.h"
#include "core/guide_texts.h"
#include "core/engine/image_source.h"

namespace quillon::cli {

namespace {

using Clock = std::chrono::steady_clock;

// The guide's engine reports: the log when asked for, and the end of the run.
class GuideObserver : public EngineObserver {
 public:
  explicit GuideObserver(bool verbose) : verbose_(verbose) {}
  void OnLogLine(const std::string& line) override {
    if (verbose_) std::fprintf(stderr, "%s\n", EscapeControls(line).c_str());
  }
  void OnProgress(const ProgressEvent&) override {}
  void OnPortWaitFailed() override {}
  void OnJobEnd(const JobEnd& end) override {
    ended = true;
    last = end;
  }
  void OnFlashEraseResult(const std::string&) override {}
  void OnPacket(uint16_t) override {}
  void OnPortLost() override {}
  bool ended = false;
  JobEnd last;

 private:
  bool verbose_;
};

void Show(const GuideTexts& texts) {
  std::printf("\n");
  for (const std::string* line : {&texts.title, &texts.upper, &texts.lower, &texts.prompt}) {
    if (!line->empty()) std::printf("%s\n", line->c_str());
  }
  std::fflush(stdout);
}

std::string Ask(const std::string& choices, std::atomic<bool>& interrupted) {
  std::fprintf(stderr, "%s > ", choices.c_str());
  std::fflush(stderr);
  auto answer = ReadLine(interrupted);
  return answer ? *answer : "q";
}

// The one readout's port: the one named, or the one bridge found.
std::string FindPort(const Options& options) {
  if (!options.ports.empty()) return options.ports.front();
  std::vector<std::string> bridges;
  for (const auto& port : ListPorts()) {
    if (port.bridge) bridges.push_back(port.path);
  }
  if (bridges.size() == 1) return bridges.front();
  std::fprintf(stderr, "%s\n",
               bridges.empty() ? "No Quillon readout found (USB bridge 10C4:EA60); check the cable."
                               : "Several USB bridges 10C4:EA60 found; name one with --port.");
  return {};
}

// Names the image about to be sent; false (nothing sent) for a built-in
// placeholder without --allow-placeholder.
bool NameImage(const Options& options, const char* name, const uint8_t* data, size_t length) {
  const bool builtIn = options.image.empty();
  ImageIdentity image = IdentifyImage(builtIn ? name : options.image, builtIn,
                                      std::vector<uint8_t>(data, data + length));
  if (image.placeholder && !options.allowPlaceholder) {
    std::fprintf(stderr, "quillon: %s\n", PlaceholderRefusal(name).c_str());
    return false;
  }
  std::printf("%s\n", IdentityLine(image).c_str());
  std::fflush(stdout);
  return true;
}

// The file --image names, read whole; EXIT_DONE when it could be.
int ReadImageFile(const std::string& path, std::vector<uint8_t>& bytes) {
  if (!ReadWholeFile(path, bytes)) {
    std::fprintf(stderr, "quillon: %s cannot be read\n", EscapeControls(path).c_str());
    return EXIT_USAGE;
  }
  if (bytes.empty()) {
    std::fprintf(stderr, "quillon: %s is empty; nothing to send\n", EscapeControls(path).c_str());
    return EXIT_USAGE;
  }
  return EXIT_DONE;
}

// The guide's run: its page, the choice made on page 3, and the one engine.
class TerminalGuide {
 public:
  TerminalGuide(const Options& options, ImageSource* images, std::vector<uint8_t> fileImage,
                std::atomic<bool>& interrupted)
      : options_(options),
        images_(images),
        fileImage_(std::move(fileImage)),
        interrupted_(interrupted),
        factory_(MakeSerialFactory()),
        observer_(options.verbose),
        engine_(host_, *factory_, observer_) {}

  // Page after page until Close (q) or an interrupt; the exit code.
  int Run() {
    for (;;) {
      if (interrupted_.load()) return EXIT_INTERRUPTED;
      Show(GuidePageTexts(page_, choice_, size_));
      std::string answer;
      std::optional<int> end;
      switch (page_) {
        case PAGE_CABLE:
          answer = Ask("[Enter] Next  [q] Close", interrupted_);
          if (answer.empty()) page_ = PAGE_READYING;
          break;
        case PAGE_READYING:
          answer = Ask("[Enter] Next  [b] Back  [q] Close", interrupted_);
          if (answer.empty()) page_ = PAGE_CHOICE;
          if (answer == "b") page_ = PAGE_CABLE;
          break;
        case PAGE_CHOICE:
          // b is Back on every page; the bootloader has a key of its own.
          answer = Ask("[s] Software  [l] Bootloader  [b] Back  [q] Close", interrupted_);
          Choose(answer);
          break;
        case PAGE_INSTRUCTIONS:
          answer = Ask("[Enter] Next  [b] Back  [q] Close", interrupted_);
          if (answer == "b") page_ = PAGE_CHOICE;
          if (answer.empty()) end = Download();
          break;
        case PAGE_COMPLETE:
          answer = Ask("[b] Back  [q] Close", interrupted_);
          if (answer == "b") {
            engine_.Close();
            page_ = PAGE_CHOICE;
          }
          break;
        case PAGE_IN_PROGRESS:
          break;
      }
      if (end) return *end;
      if (answer == "q") return EXIT_DONE;
    }
  }

 private:
  // Page 3's answer: s or l opens the port and goes on to page 4.
  void Choose(const std::string& answer) {
    if (answer == "b") page_ = PAGE_READYING;
    if (answer != "s" && answer != "l") return;
    // The cable may have been plugged in only now: find the port here.
    if (!engine_.IsOpen()) {
      std::string port = FindPort(options_);
      int error = 0;
      if (port.empty()) return;
      if (!engine_.Open(DevicePath(port), port, &error)) {
        std::fprintf(stderr, "quillon: cannot open %s: %s\n", EscapeControls(port).c_str(),
                     DescribeOpenError(error).c_str());
        return;
      }
    }
    choice_ = answer == "s" ? CHOICE_SOFTWARE : CHOICE_BOOTLOADER;
    page_ = PAGE_INSTRUCTIONS;
  }

  // Page 4's Next: the download, shown on page 5; page 6 when it is done,
  // page 4 again when it is not. An exit code when the run ends here.
  std::optional<int> Download() {
    const uint8_t* data = fileImage_.data();
    size_t length = fileImage_.size();
    const char* name = choice_ == CHOICE_BOOTLOADER ? IMAGE_BOOTLOADER : IMAGE_SOFTWARE;
    if (fileImage_.empty()) {
      if (!images_ || images_->Lookup(name, &data, &length) != ImageLookup::FOUND) {
        std::fprintf(stderr, "quillon: this build carries no image; give one with --image\n");
        return std::nullopt;
      }
    }
    if (!NameImage(options_, name, data, length)) return std::nullopt;  // still on this page
    size_ = static_cast<uint32_t>(length);
    StartResult started = engine_.StartDownload(data, length, 115200, DownloadRun::GUIDED_IMAGE);
    if (!started) {
      std::fprintf(stderr, "quillon: %s\n", started.reason.c_str());
      return std::nullopt;
    }
    Show(GuidePageTexts(PAGE_IN_PROGRESS, choice_, size_));
    WaitForEnd(length);
    if (observer_.last.outcome != Outcome::DONE) {
      std::fprintf(stderr,
                   "The download did not complete: %s. At least %llu bytes reached the "
                   "readout; its display shows the exact count.\n",
                   observer_.last.reason.c_str(),
                   static_cast<unsigned long long>(observer_.last.bytes));
      if (observer_.last.outcome == Outcome::INTERRUPTED) return EXIT_INTERRUPTED;
      return std::nullopt;  // back on page 4
    }
    page_ = PAGE_COMPLETE;
    return std::nullopt;
  }

  // Runs the engine until the download ends, with a bar on a terminal; an
  // interrupt stops the download, whose end then comes.
  void WaitForEnd(size_t length) {
    observer_.ended = false;
    auto start = Clock::now();
    auto nextTick = start;
    while (!observer_.ended) {
      if (interrupted_.load()) engine_.StopAll();
      if (auto message = host_.Wait(nextTick)) engine_.Dispatch(std::move(*message));
      if (Clock::now() >= nextTick) {
        nextTick = Clock::now() + std::chrono::milliseconds(100);
        if (StderrIsTerminal()) {
          double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
          std::fprintf(stderr, "\r%s\x1b[K",
                       FormatProgressBar(engine_.DownloadSent(), length, "bytes", elapsed).c_str());
          std::fflush(stderr);
        }
      }
    }
    if (StderrIsTerminal()) std::fprintf(stderr, "\n");
  }

  const Options& options_;
  ImageSource* images_;
  const std::vector<uint8_t> fileImage_;  // --image's bytes; empty for the built-in ones
  std::atomic<bool>& interrupted_;
  QueueHost host_;
  std::unique_ptr<SerialFactory> factory_;
  GuideObserver observer_;
  Engine engine_;  // declared last: its threads report to the members above
  GuidePage page_ = PAGE_CABLE;
  GuideChoice choice_ = CHOICE_SOFTWARE;
  uint32_t size_ = 0;
};

}  // namespace

int RunGuide(const Options& options, ImageSource* images, std::atomic<bool>& interrupted) {
  std::vector<uint8_t> fileImage;
  if (!options.image.empty()) {
    const int code = ReadImageFile(options.image, fileImage);
    if (code != EXIT_DONE) return code;
  }
  TerminalGuide guide(options, images, std::move(fileImage), interrupted);
  return guide.Run();
}

}  // namespace quillon::cli
