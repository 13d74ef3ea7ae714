// The transfer session shared by the four maintenance transfers, and the
// result messages through which the end of a transfer reaches the user.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

struct App;

enum FileKind : int {
  FILE_KIND_BINARY = 9,
  FILE_KIND_BITMAP = 24,
  FILE_KIND_SETTINGS = 25,
  FILE_KIND_PROGRAM = 26,
};

class ResultNotifier {
 public:
  virtual ~ResultNotifier() = default;
  virtual int ReportRetryExceeded(App& app, const std::string& caption,
                                  const std::string& text) = 0;
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

constexpr size_t SAVED_CAPTION_MAX = 127;

struct TransferSession {
  int kind = FILE_KIND_BINARY;
  uint32_t startTick = 0;
  ResultNotifier* notifier = nullptr;
  std::string messageCaption;  // the application title
  int startButton = 0;         // control id of the start button, 0 for none
  std::string savedCaption;
  FileResultNotifier fileNotifier;
  NlecResultNotifier nlecNotifier;
};

// The reporting rule: restore the start button, beep, then report through
// the notifier, or log and show the text as it is when none was ever set.
enum class Report { RETRY_EXCEEDED, COMPLETE, SUCCESS, FAILURE };
void RestoreStartButton(App& app);
int ReportResult(App& app, Report which, const std::string& text);
// The notifier call alone (the caller has restored the button and beeped).
int NotifyResult(App& app, Report which, const std::string& text);

}  // namespace quillon
