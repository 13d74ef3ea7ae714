// Where the CLI's words go: results on standard output, errors, progress and
// the event log on standard error, questions answered from standard input.
// Tests put a recording console in its place.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace quillon::cli {

class Console {
 public:
  virtual ~Console() = default;
  // A result: a message box's text, an answer, a line of the monitor.
  virtual void Out(const std::string& line) = 0;
  // An error or a notice.
  virtual void Err(const std::string& line) = 0;
  // Redraws the progress bar in place (terminal) or prints a plain line.
  virtual void Progress(const std::string& line, bool inPlace) = 0;
  // Ends a bar drawn in place, so the next line starts clean.
  virtual void EndProgress() = 0;
  // Whether a person is at the terminal (progress bar, y/N questions).
  virtual bool Interactive() const = 0;
  // Whether progress can be redrawn in place (standard error is a terminal).
  virtual bool ProgressInPlace() const = 0;
  // Shows the prompt and reads one line; nullopt at end of input or on Ctrl-C.
  virtual std::optional<std::string> Ask(const std::string& prompt) = 0;
  virtual void Bell() = 0;
};

// The process's own streams.
class StdConsole : public Console {
 public:
  StdConsole();
  void Out(const std::string& line) override;
  void Err(const std::string& line) override;
  void Progress(const std::string& line, bool inPlace) override;
  void EndProgress() override;
  bool Interactive() const override { return interactive_; }
  bool ProgressInPlace() const override { return errIsTerminal_; }
  std::optional<std::string> Ask(const std::string& prompt) override;
  void Bell() override;

 private:
  void EndProgressLocked();
  std::mutex mutex_;
  bool interactive_;
  bool errIsTerminal_;
  bool barShown_ = false;
};

}  // namespace quillon::cli
