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

  // Removes the progress line from the terminal (before a message, and at the end).
  void Clear();
  // One line: forms examined, rewritten, unchanged, failed, and the time; nothing when no form
  // was examined.
  void PrintSummary();

 private:
  void Draw();

  Mode mode_;
  std::chrono::steady_clock::time_point start_;
  std::string operation_, type_;
  int done_ = 0, total_ = 0;
  bool drawn_ = false;
  std::set<std::string> examined_, failed_, written_;  // form names, folded
};

// The message sink of the command line: for people or as JSON lines, on stderr; it clears the
// progress line before each message.
std::shared_ptr<HostMessages> NewMessageSink(bool json, Progress* progress);

}  // namespace llupdate::cli
