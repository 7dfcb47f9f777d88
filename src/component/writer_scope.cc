#include "component/writer_scope.h"

#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "catalogue/catalogue.h"
#include "component/internals.h"
#include "host/error_convention.h"
#include "host/list_label.h"
#include "llupdate/call.h"
#include "llupdate/progress.h"
#include "platform/file_system.h"
#include "rewrites/leftovers.h"
#include "text/text.h"

namespace llupdate {
namespace {

std::atomic<double> lock_wait_seconds{0};
std::atomic<bool> stop_requested{false};
thread_local bool stop_reported = false;
thread_local bool database_busy = false;

// The cancellation token of the call in work on this thread, if its instance has one.
thread_local const CancellationToken* call_token = nullptr;

// The name a form is counted by: its file name, letter case folded.
std::string FormKey(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return text::FoldCase(slash == std::string::npos ? path : path.substr(slash + 1));
}

// Counts what one call does to the forms, from the events its jobs report, and passes each
// event on to the observer the host gave.
class CallCounter : public ProgressObserver, public host::ErrorTally {
 public:
  explicit CallCounter(ProgressObserver* next) : next_(next) {}

  void TypeStarted(const std::string& operation, const std::string& type, int total) override {
    if (next_ != nullptr) next_->TypeStarted(operation, type, total);
  }
  void FormStarted(const std::string& operation, const std::string& type, const std::string& name,
                   const std::string& path) override {
    in_work_ = FormKey(name);
    if (next_ != nullptr) next_->FormStarted(operation, type, name, path);
  }
  void FormFinished(const std::string& operation, const std::string& type, const std::string& name,
                    bool ok) override {
    examined_.insert(FormKey(name));
    if (!ok && refused_.count(FormKey(name)) == 0) failed_.insert(FormKey(name));
    in_work_.clear();
    if (next_ != nullptr) next_->FormFinished(operation, type, name, ok);
  }
  void FormWritten(const std::string& path) override {
    written_.insert(FormKey(path));
    if (next_ != nullptr) next_->FormWritten(path);
  }
  void FormNotReplaced(const std::string& path) override {
    examined_.insert(FormKey(path));
    failed_.insert(FormKey(path));
    if (next_ != nullptr) next_->FormNotReplaced(path);
  }
  void Healed(const std::string& action, const std::string& path,
              const std::string& form) override {
    if (next_ != nullptr) next_->Healed(action, path, form);
  }
  void ErrorShown(int32_t number) override {
    ++errors_;
    if (in_work_.empty()) return;
    examined_.insert(in_work_);
    if (number == platform::kNotATextProject) {
      refused_.insert(in_work_);
      failed_.erase(in_work_);
    } else if (refused_.count(in_work_) == 0) {
      failed_.insert(in_work_);
    }
  }

  CallSummary Summary() const {
    CallSummary s;
    s.examined = static_cast<int>(examined_.size());
    s.refused = static_cast<int>(refused_.size());
    s.failed = static_cast<int>(failed_.size());
    for (const std::string& form : examined_) {
      if (written_.count(form) > 0 && failed_.count(form) == 0 && refused_.count(form) == 0) {
        ++s.rewritten;
      }
    }
    s.unchanged = s.examined - s.rewritten - s.failed - s.refused;
    s.errors_shown = errors_;
    return s;
  }

 private:
  ProgressObserver* next_;
  std::string in_work_;
  std::set<std::string> examined_, written_, failed_, refused_;
  int errors_ = 0;
};

// One public call of an instance that writes to a database: its options in force, its events
// counted, its summary left in the instance when it ends.
class CallScope {
 public:
  explicit CallScope(clsReportLLUpdate& self)
      : self_(self),
        counter_(component::Internals::Options(self).progress != nullptr
                     ? component::Internals::Options(self).progress
                     : ThreadProgressObserver()),
        previous_observer_(ThreadProgressObserver()) {
    const CallOptions& options = component::Internals::Options(self);
    platform::SetCallDurableWrites(options.durable_writes ? (*options.durable_writes ? 1 : 0) : -1);
    call_token = options.cancellation.get();
    SetThreadProgressObserver(&counter_);
    host::SetThreadErrorTally(&counter_);
    component::Internals::Summary(self) = CallSummary();
    active_ = true;
  }
  ~CallScope() {
    CallSummary summary = counter_.Summary();
    summary.database_busy = database_busy;
    summary.cancelled = stop_reported;
    component::Internals::Summary(self_) = summary;
    host::SetThreadErrorTally(nullptr);
    SetThreadProgressObserver(previous_observer_);
    call_token = nullptr;
    platform::SetCallDurableWrites(-1);
    active_ = false;
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  static bool active() { return active_; }

 private:
  clsReportLLUpdate& self_;
  CallCounter counter_;
  ProgressObserver* previous_observer_;
  static thread_local bool active_;
};
thread_local bool CallScope::active_ = false;

struct HeldDatabase {
  std::string key;
  std::unique_ptr<platform::WriterLock> lock;
};
thread_local std::vector<HeldDatabase> held;

// One spelling per database: separators unified, trailing ones dropped, letter case folded.
std::string DatabaseKey(const std::string& path) {
  std::string key = path;
  for (char& c : key) {
    if (c == '/') c = '\\';
  }
  while (key.size() > 1 && key.back() == '\\') key.pop_back();
  return text::FoldCase(key);
}

}  // namespace

void SetDurableWrites(bool on) { platform::SetDurableWrites(on); }
void SetWriterLockWait(double seconds) { lock_wait_seconds.store(seconds < 0 ? 0 : seconds); }
bool LastCallFoundDatabaseBusy() { return database_busy; }
void RequestStop() noexcept { stop_requested.store(true); }
bool StopRequested() noexcept { return stop_requested.load(); }
void ClearStopRequest() noexcept { stop_requested.store(false); }

namespace component {

double LockWaitSeconds() { return lock_wait_seconds.load(); }

bool StopHere(const std::string& operation) {
  if (!StopRequested() && (call_token == nullptr || !call_token->cancelled())) return false;
  if (!stop_reported) {
    stop_reported = true;
    host::ShowHostMessage(operation + " wurde auf Wunsch angehalten: das Formular in Arbeit ist " +
                              "fertig, kein weiteres wurde begonnen.",
                          3, false);
  }
  return true;
}

bool FlushChangedFolders(clsReportLLUpdate& self) {
  std::vector<std::string> folders = platform::TakeChangedFolders();
  if (folders.empty()) return true;
  return host::Armed(host::ErrorText::Custom("Die Änderungen konnten nicht auf den Datenträger "
                                             "geschrieben werden.")
                         .WithDetails(),
                     false, [&] {
                       platform::FileSystem& fs = Internals::Fso(self);
                       for (const std::string& folder : folders) fs.SyncFolder(folder);
                       return true;
                     });
}

bool AsWriter(clsReportLLUpdate& self, const std::string& pDBPath,
              const std::function<bool()>& body) {
  // The public call itself (not a job the driver runs inside it) counts what it does.
  std::optional<CallScope> call;
  if (held.empty() && !CallScope::active()) call.emplace(self);
  const std::string key = DatabaseKey(pDBPath);
  for (const HeldDatabase& h : held) {
    if (h.key == key) return body();  // a nested call of a job or the driver
  }
  database_busy = false;
  if (held.empty()) stop_reported = false;
  platform::FileSystem* fs = nullptr;
  host::IgnoreErrors([&] { fs = &Internals::Fso(self); });
  if (fs == nullptr) return body();  // the operation reports the missing file-system object

  // The lock is the form folder's, whatever path reaches it; nothing is written without it.
  const std::string folder = catalogue::FormDirectory(pDBPath);
  std::unique_ptr<platform::WriterLock> lock;
  bool locked = host::Armed(
      host::ErrorText::Custom("Die Datenbank " + pDBPath + " kann nicht gesperrt werden.")
          .WithDetails(),
      false, [&] {
        try {
          const CallOptions& options = Internals::Options(self);
          lock = fs->LockFormFolder(folder, options.lock_wait_seconds ? *options.lock_wait_seconds
                                                                      : lock_wait_seconds.load());
        } catch (const HostFailure&) {
          throw;
        } catch (const platform::Error& e) {
          if (e.number() == platform::kPermissionDenied) database_busy = true;
          host::ShowHostMessage("Nichts geändert: " + e.description() + ".", 3, true);
          return false;
        }
        return true;
      });
  if (!locked) return false;
  if (lock != nullptr && !lock->outermost()) return body();  // held already under another path

  held.push_back({key, std::move(lock)});
  // What the file system learns of the folders serves the whole call, and no longer.
  fs->BeginJob();
  host::SetJobFileSystem(fs);
  struct Release {
    platform::FileSystem* fs;
    ~Release() {
      host::SetJobFileSystem(nullptr);
      fs->EndJob();
      held.pop_back();
    }
  } release{fs};
  // What was noted outside a writer (a direct save through the control) is not this call's.
  platform::TakeLeftBehind();
  platform::TakeChangedFolders();
  platform::WriterLock* writer_lock = held.back().lock.get();
  if (writer_lock != nullptr && writer_lock->previous_run_unfinished()) {
    rewrites::ReportRestoredInPlace(folder, writer_lock->restored_in_place());
    rewrites::HealLeftovers(*fs, folder, writer_lock->previous_own_files());
  }
  bool result = body();
  if (!FlushChangedFolders(self)) result = false;
  // Only a run that ends here, with its own files gone, is marked finished; otherwise the next
  // writer looks for what it left.
  if (writer_lock != nullptr && !platform::TakeLeftBehind()) {
    host::IgnoreErrors([&] { writer_lock->MarkFinished(); });
  }
  return result;
}

}  // namespace component
}  // namespace llupdate
