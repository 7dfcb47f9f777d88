#include "output.h"

#include <cstdio>

#include "host/message_sinks.h"
#include "text/text.h"

namespace llupdate::cli {
namespace {

std::string Key(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return text::FoldCase(slash == std::string::npos ? path : path.substr(slash + 1));
}

class Sink : public HostMessages {
 public:
  Sink(std::shared_ptr<HostMessages> inner, Progress* progress)
      : inner_(std::move(inner)), progress_(progress) {}
  void ShowMessage(const std::string& text, int32_t level, const std::string& title, int32_t number,
                   bool flag) override {
    if (progress_ != nullptr) {
      progress_->Clear();
      if (flag) progress_->ErrorShown();
    }
    inner_->ShowMessage(text, level, title, number, flag);
  }
  void ReportError(const std::string& title, const std::string& routine, int32_t number,
                   const std::string& description, bool flag) override {
    if (progress_ != nullptr) {
      progress_->Clear();
      progress_->ErrorShown();
    }
    inner_->ReportError(title, routine, number, description, flag);
  }

 private:
  std::shared_ptr<HostMessages> inner_;
  Progress* progress_;
};

}  // namespace

void Progress::TypeStarted(const std::string& operation, const std::string& type, int total) {
  operation_ = operation;
  type_ = type;
  total_ = total;
  done_ = 0;
  Draw();
}

void Progress::FormFinished(const std::string& operation, const std::string& type,
                            const std::string& name, bool ok) {
  operation_ = operation;
  type_ = type;
  ++done_;
  examined_.insert(Key(name));
  if (!ok) failed_.insert(Key(name));
  Draw();
}

void Progress::FormWritten(const std::string& path) { written_.insert(Key(path)); }

void Progress::FormNotReplaced(const std::string& path) {
  examined_.insert(Key(path));
  failed_.insert(Key(path));
}

void Progress::Draw() {
  if (mode_ == Mode::kTerminal) {
    std::fprintf(stderr, "\r\033[K%s %s %d/%d", operation_.c_str(), type_.c_str(), done_, total_);
    std::fflush(stderr);
    drawn_ = true;
  } else if (mode_ == Mode::kJson) {
    std::fprintf(
        stderr, "{\"call\":\"Progress\",\"operation\":%s,\"type\":%s,\"done\":%d,\"total\":%d}\n",
        host::JsonString(operation_).c_str(), host::JsonString(type_).c_str(), done_, total_);
    std::fflush(stderr);
  }
}

void Progress::Clear() {
  if (drawn_) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    drawn_ = false;
  }
}

void Progress::PrintSummary(bool interrupted) {
  Clear();
  if (examined_.empty() && !interrupted) return;
  int rewritten = 0;
  for (const std::string& name : examined_) {
    if (written_.count(name) > 0 && failed_.count(name) == 0) ++rewritten;
  }
  int failed = static_cast<int>(failed_.size());
  int unchanged = static_cast<int>(examined_.size()) - rewritten - failed;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (mode_ == Mode::kJson) {
    std::fprintf(stderr,
                 "{\"call\":\"Summary\",\"examined\":%zu,\"rewritten\":%d,\"unchanged\":%d,"
                 "\"failed\":%d,\"errors\":%d,\"interrupted\":%s,\"seconds\":%.3f}\n",
                 examined_.size(), rewritten, unchanged, failed, errors_shown_,
                 interrupted ? "true" : "false", seconds);
  } else {
    std::fprintf(
        stderr,
        "%sforms examined: %zu, rewritten: %d, unchanged: %d, failed: %d, errors shown: %d, "
        "time: %.2f s\n",
        interrupted ? "interrupted: " : "", examined_.size(), rewritten, unchanged, failed,
        errors_shown_, seconds);
  }
}

std::shared_ptr<HostMessages> NewMessageSink(bool json, Progress* progress) {
  return std::make_shared<Sink>(
      json ? host::NewJsonMessages(stderr) : host::NewConsoleMessages(stderr), progress);
}

}  // namespace llupdate::cli
