// What a person or a program sees while an operation runs: its messages, a progress line (on a
// terminal) or progress events (with --json), and a summary at the end.
#pragma once

#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "llupdate/host.h"
#include "llupdate/progress.h"

namespace llupdate::cli {

class Progress : public ProgressObserver {
 public:
  enum class Mode { kTerminal, kJson, kNone };
  explicit Progress(Mode mode) : mode_(mode), start_(std::chrono::steady_clock::now()) {}

  void TypeStarted(const std::string& operation, const std::string& type, int total) override;
  void FormFinished(const std::string& operation, const std::string& type, const std::string& name,
                    bool ok) override;
  void FormWritten(const std::string& path) override;
  void FormNotReplaced(const std::string& path) override;
  // An error message (not a notice) was shown.
  void ErrorShown() { ++errors_shown_; }
  int errors_shown() const { return errors_shown_; }
  int failed() const { return static_cast<int>(failed_.size()); }

  // Removes the progress line from the terminal (before a message, and at the end).
  void Clear();
  // One line: forms examined, rewritten, unchanged, failed, errors shown and the time, and
  // whether the run was interrupted; nothing when no form was examined and nothing went wrong.
  void PrintSummary(bool interrupted = false);

 private:
  void Draw();

  Mode mode_;
  std::chrono::steady_clock::time_point start_;
  std::string operation_, type_;
  int done_ = 0, total_ = 0;
  int errors_shown_ = 0;
  bool drawn_ = false;
  std::set<std::string> examined_, failed_, written_;  // form names, folded
};

// The message sink of the command line: for people or as JSON lines, on stderr; it clears the
// progress line before each message.
std::shared_ptr<HostMessages> NewMessageSink(bool json, Progress* progress);

}  // namespace llupdate::cli
