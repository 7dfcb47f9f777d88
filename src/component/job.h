// The job: one public call of an instance that writes to a database, from its beginning to its
// end. It keeps the options in force, the databases the call holds, whether it was asked to stop
// or found a database busy, and counts what the call does to the forms; its summary is left in
// the instance when it ends. Every call the operation makes on the same instance (a job of
// forms, the driver's steps) runs inside it; the instance keeps it while it lives.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "files/file_helpers.h"
#include "host/error_convention.h"
#include "journal/journal.h"
#include "llupdate/call.h"
#include "llupdate/progress.h"
#include "llupdate/report_ll_update.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/job_notes.h"
#include "text/text.h"

namespace llupdate::component {

// The name a form is counted by: its file name, letter case folded.
inline std::string FormKey(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return text::FoldCase(slash == std::string::npos ? path : path.substr(slash + 1));
}

// One spelling of a path: separators unified, letter case folded.
inline std::string SamePathKey(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return text::FoldCase(path);
}

// Counts what one call does to the forms, from the events its jobs report, and passes each
// event on to the observer the host gave. An error shown for an I/O failure is counted in the
// call's notes as well.
class CallCounter : public ProgressObserver, public host::Reporter {
 public:
  CallCounter(ProgressObserver* next, platform::JobNotes& notes,
              std::shared_ptr<HostMessages> messages)
      : next_(next), notes_(notes), messages_(std::move(messages)) {}
  HostMessages* messages() override { return messages_.get(); }

  void TypeStarted(const std::string& operation, const std::string& type, int total) override {
    if (next_ != nullptr) next_->TypeStarted(operation, type, total);
  }
  void FormStarted(const std::string& operation, const std::string& type, const std::string& name,
                   const std::string& path) override {
    in_work_ = FormKey(name);
    in_work_path_ = SamePathKey(path);
    if (next_ != nullptr) next_->FormStarted(operation, type, name, ShownPath(path));
  }
  void FormFinished(const std::string& operation, const std::string& type, const std::string& name,
                    bool ok) override {
    examined_.insert(FormKey(name));
    if (!ok && refused_.count(FormKey(name)) == 0) failed_.insert(FormKey(name));
    in_work_.clear();
    if (next_ != nullptr) next_->FormFinished(operation, type, name, ok);
  }
  void FormWritten(const std::string& path) override {
    // A form written elsewhere than where it was found is a copy (a delivered form).
    if (in_work_path_.empty() || SamePathKey(path) == in_work_path_) {
      written_.insert(FormKey(path));
    } else {
      copied_.insert(in_work_);
    }
    if (next_ != nullptr) next_->FormWritten(ShownPath(path));
  }
  void FormNotReplaced(const std::string& path) override {
    examined_.insert(FormKey(path));
    failed_.insert(FormKey(path));
    if (next_ != nullptr) next_->FormNotReplaced(ShownPath(path));
  }
  void Healed(const std::string& action, const std::string& path,
              const std::string& form) override {
    if (next_ != nullptr)
      next_->Healed(action, ShownPath(path), form.empty() ? form : ShownPath(form));
  }
  // The form that the messages shown now concern (a swap the batch carries out later); returns
  // the one before, to be given back.
  std::pair<std::string, std::string> WorkOn(const std::string& path) {
    auto before = std::make_pair(in_work_, in_work_path_);
    in_work_ = path.empty() ? std::string() : FormKey(path);
    in_work_path_ = path.empty() ? std::string() : SamePathKey(path);
    return before;
  }
  void WorkOn(const std::pair<std::string, std::string>& before) {
    in_work_ = before.first;
    in_work_path_ = before.second;
  }
  void ErrorShown(int32_t number) override {
    ++errors_;
    if (platform::IsIoFailure(number)) ++notes_.io_failures;
    if (in_work_.empty()) return;
    examined_.insert(in_work_);
    if (number == platform::kNotATextProject) {
      refused_.insert(in_work_);
      failed_.erase(in_work_);
    } else if (refused_.count(in_work_) == 0) {
      failed_.insert(in_work_);
    }
  }

  // Paths below db are told and shown as they are on the disk of fs.
  void ShowPathsBelow(platform::FileSystem* fs, const std::string& db) {
    fs_ = fs;
    roots_.push_back(SamePathKey(db) + "\\");
  }
  std::string ShownPath(const std::string& path) override {
    if (fs_ == nullptr) return path;
    const std::string key = SamePathKey(path);
    for (const std::string& root : roots_) {
      if (key.rfind(root, 0) != 0) continue;
      try {
        return fs_->ShownPath(path);
      } catch (...) {
        return path;
      }
    }
    return path;
  }

  CallSummary Summary() const {
    CallSummary s;
    s.examined = static_cast<int>(examined_.size());
    s.refused = static_cast<int>(refused_.size());
    s.failed = static_cast<int>(failed_.size());
    for (const std::string& form : examined_) {
      if (failed_.count(form) > 0 || refused_.count(form) > 0) continue;
      if (written_.count(form) > 0) {
        ++s.rewritten;
      } else if (copied_.count(form) > 0) {
        ++s.copied;
      }
    }
    s.unchanged = s.examined - s.rewritten - s.copied - s.failed - s.refused;
    s.errors_shown = errors_;
    return s;
  }

 private:
  ProgressObserver* next_;
  platform::JobNotes& notes_;
  std::shared_ptr<HostMessages> messages_;
  platform::FileSystem* fs_ = nullptr;
  std::vector<std::string> roots_;
  std::string in_work_, in_work_path_;
  std::set<std::string> examined_, written_, copied_, failed_, refused_;
  int errors_ = 0;
};

// The job's batch of swaps: each waits until the new files of the batch are flushed together,
// at most kForms of them or for kSeconds; the job's messages and progress are not held back.
class JobBatch : public files::SwapBatch {
 public:
  static constexpr size_t kForms = 128;
  static constexpr double kSeconds = 1.0;

  explicit JobBatch(CallCounter& counter) : counter_(counter) {}
  // Batches from now on, flushing through fs (which batches its flushes).
  void Enable(platform::FileSystem* fs) { fs_ = fs; }
  bool enabled() const { return fs_ != nullptr; }
  void Disable() { fs_ = nullptr; }

  bool Defer(const std::string& form,
             std::function<void(const std::exception_ptr& flush_error)> swap) override;
  bool Waiting(const std::string& form) const override;
  void Settle() override;
  // Drops what waits without swapping (the call ends through an exception): the new files stay
  // the run's own, and the next writer removes them.
  void Drop() { waiting_.clear(); }

 private:
  struct Swap {
    std::string form;
    std::function<void(const std::exception_ptr&)> run;
  };
  CallCounter& counter_;
  platform::FileSystem* fs_ = nullptr;
  std::vector<Swap> waiting_;
  std::set<std::string> keys_;
  std::chrono::steady_clock::time_point first_;
  bool settling_ = false;
};

class Job {
 private:
  clsReportLLUpdate& self_;
  CallCounter counter_;

 public:
  explicit Job(clsReportLLUpdate& self);
  ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  struct HeldDatabase {
    std::string key;
    std::unique_ptr<platform::WriterLock> lock;
  };

  const CancellationToken* const token;   // the instance's, if it has one
  JobBatch batch{counter_};               // the swaps that wait for one flush
  std::vector<HeldDatabase> held;         // the databases the call holds, outermost first
  bool stop_reported = false;             // the stop was shown
  bool database_busy = false;             // another run held the database: nothing was done
  platform::JobNotes notes;               // what the job's routines learnt on their way
  std::unique_ptr<journal::Run> journal;  // the run's record in the database's journal, if kept
  bool journal_wanted = false;  // keeping is on, whether or not the journal could begin

  // What the job did so far, as its summary will say.
  CallSummary Summary() const;

  // The job's progress: counted, then passed on to the host's observer.
  ProgressObserver& progress() { return counter_; }
  // The job's reporter of the error messages it shows.
  host::Reporter& reporter() { return counter_; }
  // Paths below db are told and shown as they are on the disk of fs.
  void ShowPathsBelow(platform::FileSystem* fs, const std::string& db) {
    counter_.ShowPathsBelow(fs, db);
  }
};

}  // namespace llupdate::component
