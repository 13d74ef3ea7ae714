#include "cli/runner.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "cli/outcome.h"
#include "cli/progress.h"
#include "cli/terminal_host.h"
#include "core/app.h"
#include "core/app/guide.h"
#include "core/app/main_dialog.h"
#include "core/boot/image_file.h"
#include "core/serial/serial_port.h"
#include "platform/posix/port_discovery.h"

namespace quillon::cli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto TIMER_PERIOD = std::chrono::milliseconds(100);

Clock::duration Seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

struct ProgressSample {
  uint64_t done = 0;
  uint64_t total = 0;
  uint64_t generation = 0;
};

enum class LoopEnd { DONE, IDLE, DEADLINE, INTERRUPTED };

// One run of the core for one command.
class Session {
 public:
  Session(const Options& options, Environment& env, ImageSource* images)
      : options_(options),
        env_(env),
        host_(MakeCallbacks()),
        app_(host_, env.serial, images) {
    if (!options_.logFile.empty()) logFile_ = std::fopen(options_.logFile.c_str(), "w");
  }

  ~Session() {
    Shutdown();
    if (logFile_) std::fclose(logFile_);
  }

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  int Execute(const std::string& port);
  int Guide();

 private:
  TerminalHost::Callbacks MakeCallbacks();
  bool Interrupted() const { return env_.interrupted && env_.interrupted->load(); }
  bool OpenPort(const std::string& port);
  LoopEnd Pump(const std::function<bool()>& done, double idleSeconds, Clock::time_point deadline);
  void PumpPending();
  bool UpdateProgress();
  void Shutdown();
  int OnInterrupt();
  std::string LastLogLine() const;

  int Download();
  int Erase();
  int Transfer(int commandId, const char* unit);
  int Test();
  int Monitor();

  const Options& options_;
  Environment& env_;
  TerminalHost host_;
  App app_;
  std::FILE* logFile_ = nullptr;
  std::mutex logMutex_;
  std::atomic<bool> monitorMode_{false};
  bool shutDown_ = false;

  Clock::time_point nextTick_ = Clock::now() + TIMER_PERIOD;
  bool bootDone_ = false;
  bool bootSuccess_ = false;

  std::function<std::optional<ProgressSample>()> progressSource_;
  std::string progressUnit_ = "bytes";
  bool progressShown_ = false;
  uint64_t progressGeneration_ = 0;
  uint64_t lastDone_ = 0;
  Clock::time_point progressStart_;
  Clock::time_point lastDraw_;
  TenthTracker tenths_;
  std::string receivedFile_;  // set for jobs that write a file from the readout
};

TerminalHost::Callbacks Session::MakeCallbacks() {
  TerminalHost::Callbacks callbacks;
  callbacks.logLine = [this](const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(logMutex_);
      if (logFile_) {
        std::fprintf(logFile_, "%s\n", line.c_str());
        std::fflush(logFile_);
      }
    }
    if (monitorMode_.load()) {
      env_.console.Out(line);
    } else if (options_.verbose) {
      env_.console.Err(line);
    }
  };
  callbacks.box = [this](const std::string& text, unsigned style) {
    // Error and warning boxes go where errors go; every other box is a result.
    if (style & MB_STYLE_ICONERROR) {
      env_.console.Err(text);
    } else {
      env_.console.Out(text);
    }
  };
  callbacks.question = [this](const std::string& text) {
    if (options_.yes) return ANSWER_YES;
    if (!env_.console.Interactive()) return ANSWER_NO;
    std::optional<std::string> answer = env_.console.Ask(text + " [y/N] ");
    if (answer && (*answer == "y" || *answer == "Y" || *answer == "yes" || *answer == "YES")) {
      return ANSWER_YES;
    }
    return ANSWER_NO;
  };
  callbacks.beep = [this] {
    if (!options_.quiet) env_.console.Bell();
  };
  return callbacks;
}

std::string Session::LastLogLine() const {
  std::vector<std::string> lines = app_.log.Lines();
  return lines.empty() ? std::string() : lines.back();
}

bool Session::OpenPort(const std::string& port) {
  OpenDevicePath(app_, port);
  if (app_.link.IsOpen()) return true;
  std::string reason = DescribeOpenError(host_.LastErrorCode());
  env_.console.Err("quillon: cannot open " + port + (reason.empty() ? "" : ": " + reason));
  return false;
}

LoopEnd Session::Pump(const std::function<bool()>& done, double idleSeconds,
                      Clock::time_point deadline) {
  Clock::time_point lastActivity = Clock::now();
  for (;;) {
    if (Interrupted()) return LoopEnd::INTERRUPTED;
    if (done()) return LoopEnd::DONE;
    Clock::time_point now = Clock::now();
    if (now >= deadline) return LoopEnd::DEADLINE;
    if (idleSeconds > 0 && now - lastActivity > Seconds(idleSeconds)) return LoopEnd::IDLE;

    Clock::time_point until = std::min(nextTick_, deadline);
    if (std::optional<UiMessage> message = host_.WaitMessage(until)) {
      lastActivity = Clock::now();
      if (message->kind == UiMessage::BOOT_DONE) {
        bootDone_ = true;
        bootSuccess_ = message->success;
      }
      DispatchUiMessage(app_, std::move(*message));
    }
    now = Clock::now();
    if (now >= nextTick_) {
      OnTimer(app_);
      nextTick_ += TIMER_PERIOD;
      if (nextTick_ <= now) nextTick_ = now + TIMER_PERIOD;  // fell behind: no burst of ticks
    }
    if (host_.TakeRepaint()) RenderGuidePage(app_);
    if (UpdateProgress()) lastActivity = Clock::now();
  }
}

// Runs what is already queued, and a repaint, without waiting.
void Session::PumpPending() {
  Pump([this] { return host_.QueueEmpty(); }, 0, Clock::now() + std::chrono::seconds(5));
  if (host_.TakeRepaint()) RenderGuidePage(app_);
}

bool Session::UpdateProgress() {
  if (!progressSource_) return false;
  std::optional<ProgressSample> sample = progressSource_();
  Clock::time_point now = Clock::now();
  if (!sample) {
    if (progressShown_) env_.console.EndProgress();
    progressShown_ = false;
    return false;
  }
  bool moved = sample->done != lastDone_;
  if (sample->generation != progressGeneration_) {
    progressGeneration_ = sample->generation;
    progressStart_ = now;
    lastDraw_ = {};
    tenths_.Reset();
    moved = true;
  }
  lastDone_ = sample->done;
  if (options_.quiet) return moved;
  if (env_.console.ProgressInPlace()) {
    bool finished = sample->total > 0 && sample->done >= sample->total;
    if (now - lastDraw_ >= std::chrono::milliseconds(100) || (moved && finished)) {
      double elapsed = std::chrono::duration<double>(now - progressStart_).count();
      env_.console.Progress(
          FormatProgressBar(sample->done, sample->total, progressUnit_, elapsed), true);
      progressShown_ = true;
      lastDraw_ = now;
    }
  } else if (tenths_.Update(sample->done, sample->total) != 0) {
    env_.console.Progress(FormatProgressLine(sample->done, sample->total, progressUnit_), false);
  }
  return moved;
}

void Session::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  progressSource_ = nullptr;
  if (progressShown_) env_.console.EndProgress();
  // An erase waiting for its answer would otherwise hold the shutdown up
  // until its own bound passes.
  app_.receiver.tap.Cancel();
  OnDestroy(app_);
}

int Session::OnInterrupt() {
  // The stop command ends whatever transfer is running; with none running
  // it would start an NLEC send instead, so it is given only then.
  if (app_.protocol.transferActive.load() != 0) OnCommand(app_, IDC_NLEC_SEND);
  Shutdown();
  std::string text = "Interrupted.";
  if (options_.command == "download" && app_.boot.imageSize > 0) {
    text += " The download stopped after " + std::to_string(app_.boot.sentCount.load()) + " of " +
            std::to_string(app_.boot.imageSize) + " bytes.";
  }
  if (!receivedFile_.empty() && std::filesystem::exists(receivedFile_)) {
    text += " The part received so far is kept in " + receivedFile_ + ".";
  }
  env_.console.Err(text);
  return EXIT_INTERRUPTED;
}

int Session::Execute(const std::string& port) {
  OnInitDialog(app_);
  if (!OpenPort(port)) return EXIT_PORT;
  const std::string& c = options_.command;
  const std::string& w = options_.what;
  if (c == "download") return Download();
  if (c == "erase") return Erase();
  if (c == "test") return Test();
  if (c == "monitor") return Monitor();
  if (c == "send") {
    host_.SetOpenAnswer(options_.file);
    if (w == "settings") return Transfer(IDC_SEND_SETTINGS, "bytes");
    if (w == "program") return Transfer(IDC_SEND_PROGRAM, "bytes");
    return Transfer(IDC_SEND_BITMAP, "bytes");
  }
  if (c == "receive") {
    receivedFile_ = options_.file;
    host_.SetSaveAnswer(options_.file);
    if (w == "settings") return Transfer(IDC_RECEIVE_SETTINGS, "bytes");
    host_.SetProgramName(options_.programName);
    return Transfer(IDC_RECEIVE_PROGRAM, "bytes");
  }
  if (c == "nlec") {
    if (w == "send") {
      host_.SetOpenAnswer(options_.file);
      return Transfer(IDC_NLEC_SEND, "characters");
    }
    receivedFile_ = options_.file;
    host_.SetSaveAnswer(options_.file);
    return Transfer(IDC_NLEC_GET, "lines");
  }
  env_.console.Err("quillon: unknown command " + c);
  return EXIT_USAGE;
}

int Session::Download() {
  app_.guide.choice = options_.what == "bootloader" ? CHOICE_BOOTLOADER : CHOICE_SOFTWARE;
  progressUnit_ = "bytes";
  progressSource_ = [this]() -> std::optional<ProgressSample> {
    if (bootDone_ || app_.boot.imageSize <= 0) return std::nullopt;
    return ProgressSample{static_cast<uint64_t>(app_.boot.sentCount.load()),
                          static_cast<uint64_t>(app_.boot.imageSize), 1};
  };
  size_t boxes = host_.BoxCount();
  bool started;
  if (options_.baud == 38400) {
    OnCommand(app_, IDC_IMAGE_DOWNLOAD);
    // The only refusals a fresh run can meet are the image errors, each a box.
    started = host_.BoxCount() == boxes;
  } else {
    // The guide's own start: Next on page 4.
    started = StartImageDownload(app_, 115200) != 0;
  }
  if (!started) return EXIT_FAILED;

  LoopEnd end = Pump([this] { return bootDone_; }, options_.idleSeconds, Clock::time_point::max());
  if (end == LoopEnd::INTERRUPTED) return OnInterrupt();
  if (end != LoopEnd::DONE) {
    env_.console.Err("quillon: the download made no progress for " +
                     std::to_string(static_cast<int>(options_.idleSeconds)) + " seconds");
    return EXIT_FAILED;
  }
  PumpPending();
  if (progressShown_) env_.console.EndProgress();
  progressShown_ = false;
  if (!bootSuccess_) return EXIT_FAILED;  // the core's box has said why

  char sent[96];
  std::snprintf(sent, sizeof sent, "%lld bytes sent.",
                static_cast<long long>(app_.boot.sentCount.load()));
  env_.console.Out(sent);
  // The guide's last page asks the user to compare the count with the readout's.
  if (app_.guide.page == PAGE_COMPLETE) {
    for (int id : {IDC_UPPER_TEXT, IDC_LOWER_TEXT}) {
      std::optional<std::string> text = host_.GetControlText(id);
      if (text && !text->empty()) env_.console.Out(*text);
    }
  }
  return EXIT_DONE;
}

int Session::Erase() {
  OnCommand(app_, IDC_FLASH_ERASE);
  if (Interrupted()) return OnInterrupt();
  if (app_.boot.bootBusy.load() == 0 && host_.QueueEmpty()) {
    env_.console.Err("Not erased.");
    return EXIT_FAILED;
  }
  LoopEnd end = Pump([this] { return bootDone_; }, 0, Clock::now() + Seconds(options_.eraseSeconds));
  if (end == LoopEnd::INTERRUPTED) return OnInterrupt();
  if (end != LoopEnd::DONE) {
    env_.console.Err("quillon: the erase did not end within " +
                     std::to_string(static_cast<int>(options_.eraseSeconds)) + " seconds");
    return EXIT_FAILED;
  }
  PumpPending();
  if (!bootSuccess_) return EXIT_FAILED;
  env_.console.Out(LastLogLine());
  return EXIT_DONE;
}

int Session::Transfer(int commandId, const char* unit) {
  progressUnit_ = unit;
  progressSource_ = [this]() -> std::optional<ProgressSample> {
    TerminalHost::Strip strip = host_.CurrentStrip();
    if (!strip.exists) return std::nullopt;
    return ProgressSample{strip.position, strip.maximum, strip.generation};
  };
  size_t boxes = host_.BoxCount();
  OnCommand(app_, commandId);
  bool started = app_.protocol.transferActive.load() != 0;
  // Over when the transfer is no longer active and either a result box was
  // shown or nothing more is queued (a stop without a box, as after an NLEC
  // error from the readout).
  auto over = [&] {
    if (app_.protocol.transferActive.load() != 0) {
      started = true;
      return false;
    }
    return host_.BoxCount() > boxes || host_.QueueEmpty();
  };
  LoopEnd end = Pump(over, options_.idleSeconds, Clock::time_point::max());
  if (end == LoopEnd::INTERRUPTED) return OnInterrupt();
  if (end != LoopEnd::DONE) {
    if (app_.protocol.transferActive.load() != 0) OnCommand(app_, IDC_NLEC_SEND);  // stop it
    env_.console.Err("quillon: no answer from the readout for " +
                     std::to_string(static_cast<int>(options_.idleSeconds)) +
                     " seconds; transfer stopped");
    return EXIT_FAILED;
  }
  if (progressShown_) env_.console.EndProgress();
  progressShown_ = false;
  std::vector<TerminalHost::ShownBox> shown = host_.Boxes();
  if (shown.size() > boxes) {
    return ClassifyResultText(shown.back().text) == ResultKind::SUCCESS ? EXIT_DONE : EXIT_FAILED;
  }
  if (!started) {
    env_.console.Err("quillon: the transfer did not start");
    return EXIT_FAILED;
  }
  // Ended without a result box: the core's last log line says why.
  env_.console.Err(LastLogLine());
  return EXIT_FAILED;
}

int Session::Test() {
  size_t boxes = host_.BoxCount();
  OnCommand(app_, IDC_TEST);
  // Lines logged from here on are the readout's doing.
  size_t first = app_.log.Count();
  LoopEnd end = Pump([] { return false; }, 0, Clock::now() + Seconds(options_.testWaitSeconds));
  if (end == LoopEnd::INTERRUPTED) return OnInterrupt();
  std::vector<std::string> lines = app_.log.Lines();
  bool answered = host_.BoxCount() > boxes;
  for (size_t i = first; i < lines.size(); ++i) {
    env_.console.Out(lines[i]);
    answered = true;
  }
  if (!answered) {
    env_.console.Err("quillon: no answer from the readout");
    return EXIT_FAILED;
  }
  return EXIT_DONE;
}

int Session::Monitor() {
  monitorMode_.store(true);
  OnCommand(app_, IDC_RAW_LOGGING);
  Clock::time_point deadline =
      options_.seconds > 0 ? Clock::now() + Seconds(options_.seconds) : Clock::time_point::max();
  LoopEnd end = Pump([] { return false; }, 0, deadline);
  if (end == LoopEnd::INTERRUPTED) return OnInterrupt();
  return EXIT_DONE;
}

// --- the guide as a terminal wizard -----------------------------------------

int Session::Guide() {
  OnInitDialog(app_);
  PumpPending();
  progressUnit_ = "bytes";
  progressSource_ = [this]() -> std::optional<ProgressSample> {
    if (app_.boot.bootBusy.load() == 0 || app_.boot.imageSize <= 0) return std::nullopt;
    return ProgressSample{static_cast<uint64_t>(app_.boot.sentCount.load()),
                          static_cast<uint64_t>(app_.boot.imageSize), 1};
  };
  auto text = [this](int id) { return host_.GetControlText(id).value_or(""); };
  auto usable = [this](int id) {
    return host_.IsControlEnabled(id) && host_.GetControlText(id).has_value();
  };
  int shownPage = 0;
  size_t boxesBefore = host_.BoxCount();
  for (;;) {
    if (Interrupted()) return OnInterrupt();
    if (host_.EndResult()) return EXIT_DONE;
    int page = app_.guide.page;
    if (page != shownPage) {
      env_.console.Out("");
      for (int id : {IDC_STEP_TITLE, IDC_UPPER_TEXT, IDC_LOWER_TEXT, IDC_PROMPT}) {
        std::string t = text(id);
        if (!t.empty()) env_.console.Out(t);
      }
      shownPage = page;
    }
    if (page == PAGE_IN_PROGRESS) {
      if (host_.BoxCount() > boxesBefore && app_.boot.bootBusy.load() == 0 &&
          host_.QueueEmpty()) {
        // The start was refused (its box has said why): nothing will end this page.
        return EXIT_FAILED;
      }
      LoopEnd end = Pump([this] { return bootDone_; }, options_.idleSeconds,
                         Clock::time_point::max());
      if (end == LoopEnd::INTERRUPTED) return OnInterrupt();
      if (end != LoopEnd::DONE) {
        env_.console.Err("quillon: the download made no progress for " +
                         std::to_string(static_cast<int>(options_.idleSeconds)) + " seconds");
        return EXIT_FAILED;
      }
      PumpPending();
      continue;
    }
    std::string choices;
    if (page == PAGE_CHOICE) {
      choices = "[s] " + text(IDC_NEXT) + "  [b] " + text(IDC_BACK) + "  [q] Close";
    } else {
      if (usable(IDC_NEXT) && app_.guide.page != PAGE_COMPLETE) choices += "[Enter] " + text(IDC_NEXT) + "  ";
      if (usable(IDC_BACK)) choices += "[b] " + text(IDC_BACK) + "  ";
      choices += "[q] Close";
    }
    std::optional<std::string> answer = env_.console.Ask(choices + " > ");
    if (Interrupted()) return OnInterrupt();
    if (!answer || *answer == "q") {
      OnCommand(app_, IDC_CLOSE);
      return EXIT_DONE;
    }
    int command = 0;
    if (page == PAGE_CHOICE) {
      if (*answer == "s") command = IDC_NEXT;
      if (*answer == "b") command = IDC_BACK;
    } else if (answer->empty()) {
      command = IDC_NEXT;
    } else if (*answer == "b") {
      command = IDC_BACK;
    }
    if (command == 0) continue;
    if (page == PAGE_CHOICE && !app_.link.IsOpen()) {
      // The cable may have been plugged in only now: find the port at this step.
      std::string port = options_.port;
      if (port.empty()) {
        auto bridges = posix::FindBridgePorts(options_.sysRoot, options_.devRoot);
        if (bridges.size() != 1) {
          env_.console.Err(bridges.empty()
                               ? "No Quillon readout found (USB bridge 10C4:EA60); check the cable."
                               : "Several USB bridges 10C4:EA60 found; name one with --port.");
          continue;
        }
        port = bridges.front().path;
      }
      if (!OpenPort(port)) continue;
    }
    boxesBefore = host_.BoxCount();
    bootDone_ = false;
    OnCommand(app_, command);
    PumpPending();
    shownPage = page == app_.guide.page ? page : 0;
  }
}

// --- commands without a session ---------------------------------------------

int ListPorts(const Options& options, Environment& env) {
  auto ports = posix::ListSerialPorts(options.sysRoot, options.devRoot);
  if (ports.empty()) {
    env.console.Out("No serial ports found.");
    return EXIT_DONE;
  }
  for (const auto& port : ports) {
    std::string line = port.path;
    if (!port.vendor.empty()) line += "  " + port.vendor + ":" + port.product;
    if (!port.description.empty()) line += "  " + port.description;
    if (port.bridge) line += "  <- Quillon readout bridge";
    env.console.Out(line);
  }
  return EXIT_DONE;
}

int ResolvePort(const Options& options, Environment& env, std::string& port) {
  if (!options.port.empty()) {
    port = options.port;
    return EXIT_DONE;
  }
  auto bridges = posix::FindBridgePorts(options.sysRoot, options.devRoot);
  if (bridges.empty()) {
    env.console.Err(
        "quillon: no Quillon readout found: no USB serial bridge 10C4:EA60 is connected. "
        "Connect the readout, or name its port with --port.");
    return EXIT_PORT;
  }
  if (bridges.size() > 1) {
    env.console.Err("quillon: several USB serial bridges 10C4:EA60 are connected; name one with --port:");
    for (const auto& bridge : bridges) env.console.Err("  " + bridge.path);
    return EXIT_PORT;
  }
  port = bridges.front().path;
  return EXIT_DONE;
}

// Problems found before anything is sent: usage and local files.
int CheckBeforeStart(const Options& o, Environment& env) {
  auto fail = [&](const std::string& why) {
    env.console.Err("quillon: " + why);
    return EXIT_USAGE;
  };
  if (o.quiet && o.verbose) return fail("--quiet and --verbose exclude each other");
  const std::string& c = o.command;
  if (c == "send" || (c == "nlec" && o.what == "send")) {
    std::string why = CheckReadableFile(o.file);
    if (!why.empty()) return fail(why);
  }
  if (c == "receive" || (c == "nlec" && o.what == "get")) {
    std::string why = CheckWritableFile(o.file);
    if (!why.empty()) return fail(why);
  }
  if (c == "receive" && o.what == "program" && o.programName.empty()) {
    return fail("a program name is needed");
  }
  if (c == "guide" && !o.image.empty()) {
    std::string why = CheckReadableFile(o.image);
    if (!why.empty()) return fail(why);
  }
  if (c == "download") {
    if (o.baud != 115200 && o.baud != 38400) return fail("--baud must be 115200 or 38400");
    if (!o.image.empty()) {
      std::string why = CheckReadableFile(o.image);
      if (!why.empty()) return fail(why);
    }
  }
  if (c == "erase" && !o.yes && !env.console.Interactive()) {
    return fail("erase asks for confirmation and no one is at the terminal; give --yes to erase");
  }
  if (!o.logFile.empty()) {
    std::string why = CheckWritableFile(o.logFile);
    if (!why.empty()) return fail(why);
  }
  return EXIT_DONE;
}

}  // namespace

int Run(const Options& options, Environment& env) {
  if (options.command == "ports") return ListPorts(options, env);
  int code = CheckBeforeStart(options, env);
  if (code != EXIT_DONE) return code;

  ImageSource* images = env.images;
  // --image stands in for the chosen image; the other stays the built-in one.
  FileImageSource fileImage(env.images);
  if (options.command == "download" && !options.image.empty()) {
    fileImage.SetFile(options.what == "bootloader" ? IMAGE_BOOTLOADER : IMAGE_SOFTWARE,
                      options.image);
    images = &fileImage;
  }
  if (options.command == "guide" && !options.image.empty()) {
    // The guide's choice is made on its page 3: the file serves either.
    fileImage.SetFile(IMAGE_BOOTLOADER, options.image);
    fileImage.SetFile(IMAGE_SOFTWARE, options.image);
    images = &fileImage;
  }

  if (options.command == "guide") {
    Session session(options, env, images);
    return session.Guide();
  }
  std::string port;
  code = ResolvePort(options, env, port);
  if (code != EXIT_DONE) return code;
  Session session(options, env, images);
  return session.Execute(port);
}

}  // namespace quillon::cli
