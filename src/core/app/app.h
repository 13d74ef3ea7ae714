// The dialog layer's one run of the program: the engine of its port, the
// guide and port selection, the user-interface half of the transfer session
// (result messages, start button), and the turning of the engine's reports
// into the texts, boxes and control states the user sees.
#pragma once

// The dialog layer: the command line and the simulator are built to use
// the engine only, and stop here if they reach for it.
#ifdef QUILLON_ENGINE_ONLY
#error "core/app is the dialog layer; this program uses the engine only"
#endif

#include <cstdint>
#include <functional>
#include <string>

#include "core/app/dialog_host.h"
#include "core/engine/engine.h"
#include "core/guide_texts.h"
#include "core/engine/image_source.h"
#include "core/jobs.h"

namespace quillon {

struct GuideState {
  GuidePage page = PAGE_CABLE;
  GuideChoice choice = CHOICE_SOFTWARE;
};

enum PortMode : int { PORT_MODE_DETECT = 0, PORT_MODE_ASK = 1, PORT_MODE_COMMAND_LINE = 2 };

struct PortSelection {
  PortMode mode = PORT_MODE_DETECT;
  int number = 0;
};

enum IndicatorState : int { INDICATOR_NO_PORT = 0, INDICATOR_NOT_READY = 1, INDICATOR_READY = 2 };

struct App;

// How the end of a file transfer reaches the user; one per family.
class ResultNotifier {
 public:
  virtual ~ResultNotifier() = default;
  virtual int ReportRetryExceeded(App& app, const std::string& caption, const std::string& text) = 0;
  virtual int ReportComplete(App& app, const std::string& caption, const std::string& text) = 0;
  virtual int ReportSuccess(App& app, const std::string& caption, const std::string& text) = 0;
  virtual int ReportFailure(App& app, const std::string& caption, const std::string& text) = 0;
};

class FileResultNotifier : public ResultNotifier {
 public:
  int ReportRetryExceeded(App& app, const std::string& caption, const std::string& text) override;
  int ReportComplete(App& app, const std::string& caption, const std::string& text) override;
  int ReportSuccess(App& app, const std::string& caption, const std::string& text) override;
  int ReportFailure(App& app, const std::string& caption, const std::string& text) override;
};

class NlecResultNotifier : public ResultNotifier {
 public:
  int ReportRetryExceeded(App& app, const std::string& caption, const std::string& text) override;
  int ReportComplete(App& app, const std::string& caption, const std::string& text) override;
  int ReportSuccess(App& app, const std::string& caption, const std::string& text) override;
  int ReportFailure(App& app, const std::string& caption, const std::string& text) override;
};

// The dialog's half of the transfer session.
struct SessionUi {
  ResultNotifier* notifier = nullptr;  // the last start's choice; never cleared
  std::string messageCaption = APP_TITLE;
  int startButton = 0;  // control id of the start button, 0 for none
  std::string savedCaption;
  // The kind of the last file start (set before its file is chosen), and
  // whether a transfer this dialog started has not reported its end yet.
  FileKind fileKind = FILE_KIND_BINARY;
  bool transferRunning = false;
  FileResultNotifier fileNotifier;
  NlecResultNotifier nlecNotifier;
};

struct App : EngineObserver {
  App(DialogHost& hostIn, SerialFactory& serial, ImageSource* imagesIn, Limits limits = {})
      : host(hostIn), images(imagesIn), engine(hostIn, serial, *this, limits) {}
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  DialogHost& host;
  ImageSource* images;
  GuideState guide;
  PortSelection portSelection;
  IndicatorState indicatorState = INDICATOR_NO_PORT;
  // The size of the image last looked up: the guide's pages 5 and 6 show it.
  uint32_t downloadSize = 0;
  // The bootloader job started last (a download or an erase), and why it
  // failed (empty when it did not): page 6 tells which one ended and how.
  Job bootJob = Job::NONE;
  std::string bootFailure;
  // True for an embedded image the build generated in place of the real
  // firmware; unset means every image is real.
  std::function<bool(const std::string& name)> isPlaceholder;
  SessionUi session;
  // The paths the file choosers offer next (the last ones chosen).
  std::string dataFileName;
  std::string nlecFileName;
  std::string programName;
  // Declared last: its threads report to the members above.
  Engine engine;

  // EngineObserver: the engine's reports, turned into what the user sees.
  void OnLogLine(const std::string& line) override { host.OnLogLineAdded(line); }
  void OnProgress(const ProgressEvent& event) override;
  void OnPortWaitFailed() override { host.Beep(); }
  void OnJobEnd(const JobEnd& end) override;
  void OnFlashEraseResult(const std::string& text) override;
  void OnPacket(uint16_t) override {}
  void OnPortLost() override {}
};

}  // namespace quillon
