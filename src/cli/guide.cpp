// The six-page download guide on a terminal: the guide's own texts, page by
// page, with the keys that stand for its buttons.
#include <cstdio>
#include <vector>

#include "cli/cli_platform.h"
#include "cli/image_identity.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/queue_host.h"
#include "cli/runner.h"
#include "cli/text_escape.h"
#include "core/app/guide.h"
#include "core/engine/engine.h"
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
  std::fprintf(stderr, "%s\n", bridges.empty()
                                   ? "No Quillon readout found (USB bridge 10C4:EA60); check the cable."
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

}  // namespace

int RunGuide(const Options& options, ImageSource* images, std::atomic<bool>& interrupted) {
  QueueHost host;
  auto factory = MakeSerialFactory();
  GuideObserver observer(options.verbose);
  Engine engine(host, *factory, observer);
  std::vector<uint8_t> fileImage;
  if (!options.image.empty()) {
    std::FILE* f = std::fopen(options.image.c_str(), "rb");
    if (!f) {
      std::fprintf(stderr, "quillon: %s cannot be read\n", EscapeControls(options.image).c_str());
      return EXIT_USAGE;
    }
    for (int c; (c = std::fgetc(f)) != EOF;) fileImage.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    if (fileImage.empty()) {
      std::fprintf(stderr, "quillon: %s is empty; nothing to send\n",
                   EscapeControls(options.image).c_str());
      return EXIT_USAGE;
    }
  }
  GuidePage page = PAGE_CABLE;
  GuideChoice choice = CHOICE_SOFTWARE;
  uint32_t size = 0;
  for (;;) {
    if (interrupted.load()) return EXIT_INTERRUPTED;
    Show(GuidePageTexts(page, choice, size));
    std::string answer;
    switch (page) {
      case PAGE_CABLE:
        answer = Ask("[Enter] Next  [q] Close", interrupted);
        if (answer.empty()) page = PAGE_READYING;
        break;
      case PAGE_READYING:
        answer = Ask("[Enter] Next  [b] Back  [q] Close", interrupted);
        if (answer.empty()) page = PAGE_CHOICE;
        if (answer == "b") page = PAGE_CABLE;
        break;
      case PAGE_CHOICE: {
        // b is Back on every page; the bootloader has a key of its own.
        answer = Ask("[s] Software  [l] Bootloader  [b] Back  [q] Close", interrupted);
        if (answer == "b") page = PAGE_READYING;
        if (answer != "s" && answer != "l") break;
        // The cable may have been plugged in only now: find the port here.
        if (!engine.IsOpen()) {
          std::string port = FindPort(options);
          int error = 0;
          if (port.empty()) break;
          if (!engine.Open(DevicePath(port), port, &error)) {
            std::fprintf(stderr, "quillon: cannot open %s: %s\n", EscapeControls(port).c_str(),
                         DescribeOpenError(error).c_str());
            break;
          }
        }
        choice = answer == "s" ? CHOICE_SOFTWARE : CHOICE_BOOTLOADER;
        page = PAGE_INSTRUCTIONS;
        break;
      }
      case PAGE_INSTRUCTIONS: {
        answer = Ask("[Enter] Next  [b] Back  [q] Close", interrupted);
        if (answer == "b") page = PAGE_CHOICE;
        if (!answer.empty()) break;
        const uint8_t* data = fileImage.data();
        size_t length = fileImage.size();
        const char* name = choice == CHOICE_BOOTLOADER ? IMAGE_BOOTLOADER : IMAGE_SOFTWARE;
        if (fileImage.empty()) {
          if (!images || images->Lookup(name, &data, &length) != ImageLookup::FOUND) {
            std::fprintf(stderr, "quillon: this build carries no image; give one with --image\n");
            break;
          }
        }
        if (!NameImage(options, name, data, length)) break;  // refused: still on this page
        size = static_cast<uint32_t>(length);
        StartResult started = engine.StartDownload(data, length, 115200, DownloadRun::GUIDED_IMAGE);
        if (!started) {
          std::fprintf(stderr, "quillon: %s\n", started.reason.c_str());
          break;
        }
        Show(GuidePageTexts(PAGE_IN_PROGRESS, choice, size));
        observer.ended = false;
        auto start = Clock::now();
        auto nextTick = start;
        while (!observer.ended) {
          if (interrupted.load()) engine.StopAll();
          if (auto message = host.Wait(nextTick)) engine.Dispatch(std::move(*message));
          if (Clock::now() >= nextTick) {
            nextTick = Clock::now() + std::chrono::milliseconds(100);
            if (StderrIsTerminal()) {
              double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
              std::fprintf(stderr, "\r%s\x1b[K", FormatProgressBar(engine.DownloadSent(), length, "bytes", elapsed).c_str());
              std::fflush(stderr);
            }
          }
        }
        if (StderrIsTerminal()) std::fprintf(stderr, "\n");
        if (observer.last.outcome != Outcome::DONE) {
          std::fprintf(stderr,
                       "The download did not complete: %s. At least %llu bytes reached the "
                       "readout; its display shows the exact count.\n",
                       observer.last.reason.c_str(),
                       static_cast<unsigned long long>(observer.last.bytes));
          if (observer.last.outcome == Outcome::INTERRUPTED) return EXIT_INTERRUPTED;
          break;  // back on page 4
        }
        page = PAGE_COMPLETE;
        break;
      }
      case PAGE_COMPLETE:
        answer = Ask("[b] Back  [q] Close", interrupted);
        if (answer == "b") {
          engine.Close();
          page = PAGE_CHOICE;
        }
        break;
      case PAGE_IN_PROGRESS:
        break;
    }
    if (answer == "q") return EXIT_DONE;
  }
}

}  // namespace quillon::cli
