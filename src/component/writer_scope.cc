#include "component/writer_scope.h"

#include <memory>
#include <utility>
#include <vector>

#include "catalogue/catalogue.h"
#include "component/internals.h"
#include "component/job.h"
#include "host/error_convention.h"
#include "host/list_label.h"
#include "host/objects.h"
#include "journal/journal.h"
#include "llupdate/call.h"
#include "llupdate/progress.h"
#include "platform/file_system.h"
#include "rewrites/leftovers.h"
#include "text/text.h"

namespace llupdate {
namespace {}  // namespace

namespace component {

Job::Job(clsReportLLUpdate& self)
    : self_(self),
      counter_(Internals::Options(self).progress != nullptr ? Internals::Options(self).progress
                                                            : ThreadProgressObserver(),
               notes, Internals::Options(self).messages),
      token(Internals::Options(self).cancellation.get()) {
  Internals::Summary(self) = CallSummary();
}

Job::~Job() { Internals::Summary(self_) = Summary(); }

bool JobBatch::Defer(const std::string& form,
                     std::function<void(const std::exception_ptr& flush_error)> swap) {
  if (fs_ == nullptr || settling_) return false;
  const auto now = std::chrono::steady_clock::now();
  if (waiting_.empty()) first_ = now;
  waiting_.push_back({form, std::move(swap)});
  keys_.insert(SamePathKey(form));
  if (waiting_.size() >= kForms ||
      std::chrono::duration<double>(now - first_).count() >= kSeconds) {
    Settle();
  }
  return true;
}

bool JobBatch::Waiting(const std::string& form) const {
  return !keys_.empty() && keys_.count(SamePathKey(form)) > 0;
}

void JobBatch::Settle() {
  if (waiting_.empty() || settling_ || fs_ == nullptr) return;
  settling_ = true;
  std::vector<Swap> swaps = std::exchange(waiting_, {});
  keys_.clear();
  struct Done {
    bool& settling;
    ~Done() { settling = false; }
  } done{settling_};
  // The new files go to the disk first, all of them at once; a swap never puts a file in place
  // whose data is not there (a failed flush fails each swap of the batch, and its form stays).
  std::exception_ptr flush_error;
  try {
    fs_->FlushWritten();
  } catch (const HostFailure&) {
    throw;
  } catch (...) {
    flush_error = std::current_exception();
  }
  for (Swap& swap : swaps) {
    // What a swap shows concerns its own form, not the one in work now.
    const auto in_work = counter_.WorkOn(swap.form);
    swap.run(flush_error);
    counter_.WorkOn(in_work);
  }
}

CallSummary Job::Summary() const {
  CallSummary summary = counter_.Summary();
  summary.database_busy = database_busy;
  summary.cancelled = stop_reported;
  return summary;
}

}  // namespace component

namespace {

// One spelling per database: separators unified, trailing ones dropped, letter case folded.
std::string DatabaseKey(const std::string& path) {
  std::string key = component::SamePathKey(path);
  while (key.size() > 1 && key.back() == '\\') key.pop_back();
  return key;
}

}  // namespace

namespace component {

bool StopHere(clsReportLLUpdate& self, const std::string& operation) {
  Job* job = Internals::CurrentJob(self).get();
  const CancellationToken* token = job != nullptr ? job->token : nullptr;
  if (!StopRequested() && (token == nullptr || !token->cancelled())) return false;
  if (job == nullptr || !job->stop_reported) {
    if (job != nullptr) job->stop_reported = true;
    host::ShowHostMessage(Internals::Reporter(self),
                          operation + " wurde auf Wunsch angehalten: das Formular in Arbeit ist " +
                              "fertig, kein weiteres wurde begonnen.",
                          3, false);
  }
  return true;
}

void SettleSwaps(clsReportLLUpdate& self) {
  if (Job* job = Internals::CurrentJob(self).get()) job->batch.Settle();
}

bool FlushChangedFolders(clsReportLLUpdate& self) {
  Job* job = Internals::CurrentJob(self).get();
  if (job == nullptr) return true;
  job->batch.Settle();
  std::vector<std::string> folders = std::exchange(job->notes.changed_folders, {});
  if (folders.empty()) return true;
  return host::Armed(Internals::Reporter(self),
                     host::ErrorText::Custom("Die Änderungen konnten nicht auf den Datenträger "
                                             "geschrieben werden.")
                         .WithDetails(),
                     false, [&] {
                       platform::FileSystem& fs = Internals::Fso(self);
                       for (const std::string& folder : folders) fs.SyncFolder(folder);
                       return true;
                     });
}

bool AsWriter(clsReportLLUpdate& self, const std::string& pDBPath, const std::string& operation,
              const std::function<bool()>& body) {
  // The public call itself (not a job the driver runs inside it) is the job: it begins here and
  // ends when this call returns.
  std::unique_ptr<Job>& current = Internals::CurrentJob(self);
  struct EndJob {
    clsReportLLUpdate& self;
    std::unique_ptr<Job>& job;
    bool owner;
    ~EndJob() {
      if (!owner) return;
      job.reset();
      Internals::EndCall(self);
    }
  } end_job{self, current, current == nullptr};
  if (end_job.owner) {
    Internals::EndCall(self);
    current = std::make_unique<Job>(self);
  }
  Job& job = *current;
  const std::string key = DatabaseKey(pDBPath);
  for (const Job::HeldDatabase& h : job.held) {
    if (h.key == key) return body();  // a nested call of a job or the driver
  }
  platform::FileSystem* fs = nullptr;
  host::IgnoreErrors([&] { fs = &Internals::Fso(self); });
  if (fs == nullptr) return body();  // the operation reports the missing file-system object
  const CallOptions& options = Internals::Options(self);
  fs->UseDurableWrites(options.durable_writes.value_or(platform::DurableWrites()));
  job.ShowPathsBelow(fs, pDBPath);

  // The lock is the form folder's, whatever path reaches it; nothing is written without it.
  const std::string folder = catalogue::FormDirectory(pDBPath);
  std::unique_ptr<platform::WriterLock> lock;
  bool locked = host::Armed(
      Internals::Reporter(self),
      host::ErrorText::Custom("Die Datenbank " + pDBPath + " kann nicht gesperrt werden.")
          .WithDetails(),
      false, [&] {
        try {
          lock = platform::LockFormFolder(
              *fs, folder,
              options.lock_wait_seconds ? *options.lock_wait_seconds : LockWaitSeconds());
        } catch (const HostFailure&) {
          throw;
        } catch (const platform::Error& e) {
          if (e.number() == platform::kPermissionDenied) job.database_busy = true;
          host::ShowHostMessage(Internals::Reporter(self),
                                "Nichts geändert: " + e.description() + ".", 3, true);
          return false;
        }
        return true;
      });
  if (!locked) return false;
  if (lock != nullptr && !lock->outermost()) return body();  // held already under another path

  job.held.push_back({key, std::move(lock)});
  // What the file system learns of the folders serves the whole call, and no longer. The new
  // files of the call are flushed in batches where the file system can.
  fs->BeginJob();
  const bool batches = !job.batch.enabled() && fs->DeferFlushes(true);
  if (batches) job.batch.Enable(fs);
  struct Release {
    platform::FileSystem* fs;
    Job& job;
    bool batches;
    ~Release() {
      // Swaps still waiting here are those of a call that ends through an exception: never
      // carried out without the lock, their new files are left for the next writer.
      job.batch.Drop();
      if (batches) {
        job.batch.Disable();
        fs->DeferFlushes(false);
      }
      fs->EndJob();
      job.held.pop_back();
    }
  } release{fs, job, batches};
  platform::WriterLock* writer_lock = job.held.back().lock.get();
  if (writer_lock != nullptr) {
    files::FileContext ctx = Internals::Files(self);
    rewrites::ReportRefusedRecords(ctx, folder, writer_lock->refused_records());
    rewrites::ReportRestoredInPlace(ctx, folder, writer_lock->restored_in_place(),
                                    writer_lock->kept_in_place());
    if (writer_lock->previous_run_unfinished()) {
      rewrites::HealLeftovers(ctx, folder, writer_lock->previous_own_files());
    }
  }
  // The run's journal begins once the folder is whole again, and ends after the flush, so that a
  // run recorded as ended has its forms on the disk.
  // Where keeping is on, what the run did not make is never removed, even when its journal cannot
  // begin.
  bool own_journal = false, wanted_here = false;
  if (job.journal == nullptr && !job.journal_wanted) {
    const int keep = options.keep_runs ? *options.keep_runs : KeptRuns();
    wanted_here = job.journal_wanted = keep > 0;
    host::IgnoreErrors([&] { own_journal = fs->FolderExists(folder); });
    if (own_journal) {
      job.journal = journal::Run::Begin(*fs, &job.reporter(), FoldersOf(pDBPath),
                                        options.command.empty() ? operation : options.command,
                                        keep > 0 && operation == kUndoOperation ? keep + 1 : keep);
    }
  }
  struct EndJournal {
    Job& job;
    bool owner, wanted;
    ~EndJournal() {
      if (owner) job.journal.reset();
      if (wanted) job.journal_wanted = false;
    }
  } end_journal{job, own_journal, wanted_here};
  bool result = body();
  if (result && own_journal && !options.settings_on_success.empty()) {
    result = host::Armed(
        Internals::Reporter(self),
        host::ErrorText::Custom("Die Einstellungen des Laufs konnten nicht gespeichert werden.")
            .WithDetails(),
        false, [&] {
          std::shared_ptr<VMSettings> settings = options.settings;
          if (!settings) settings = host::CreateAs<VMSettings>(host::kSettingsProgId);
          std::shared_ptr<Object> connection = options.settings_connection;
          settings->Init(0, connection, "Standard");
          for (const auto& [section, key, value] : options.settings_on_success) {
            std::string before;
            settings->GetSetting(section, key, before, "Standard", "Standard", "");
            settings->SaveSetting(section, key, value, "Standard");
            if (job.journal != nullptr) {
              job.journal->SettingChanged(SettingsStoreOf(connection), section, key, before, value);
            }
          }
          return true;
        });
  }
  if (own_journal && job.journal != nullptr) {
    for (const std::string& kept : job.journal->changed_folders()) job.notes.FolderChanged(kept);
  }
  if (!FlushChangedFolders(self)) result = false;
  if (own_journal && job.journal != nullptr) {
    job.journal->End(job.Summary(), result && !job.stop_reported);
  }
  // Only a run that ends here, with its own files gone, is marked finished; otherwise the next
  // writer looks for what it left.
  if (writer_lock != nullptr && !job.notes.left_behind) {
    host::IgnoreErrors([&] { writer_lock->MarkFinished(); });
  }
  return result;
}

}  // namespace component
}  // namespace llupdate
