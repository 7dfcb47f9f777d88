// How the calls of clsReportLLUpdate run, and what the last one did.
//
// Options belong to an instance (clsReportLLUpdate::SetCallOptions), so that a host converting
// two databases on two threads can give each its own: a field left empty follows the
// process-wide default at the end of this header (SetDurableWrites, SetWriterLockWait). A
// cancellation token stops only the calls of the instances that carry it; RequestStop() stops
// every call of the process.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "llupdate/progress.h"

namespace llupdate {

class FileSystem;
class HostMessages;
class Object;
class VMSettings;

// Asks the calls that carry it to stop after the form in work (as Ctrl-C does the command line):
// the call then returns False with a notice, and nothing is left half done. It stays cancelled;
// give the instance a new token for its next calls.
class CancellationToken {
 public:
  void Cancel() noexcept { cancelled_.store(true); }
  bool cancelled() const noexcept { return cancelled_.load(); }

 private:
  std::atomic<bool> cancelled_{false};
};

struct CallOptions {
  // The file system of the calls. Empty (the default): the instance's own, made by the factory
  // (kFileSystemProgId) on first use and kept. A PreviewFileSystem here previews the calls of
  // this instance alone (preview.h); empty it again and the next call writes for real.
  std::shared_ptr<FileSystem> file_system;
  // Whether a written form is on the disk before it replaces the old one (default: on).
  std::optional<bool> durable_writes;
  // How long a call waits for another run that holds the database (default: not at all).
  std::optional<double> lock_wait_seconds;
  // Stops the calls when cancelled; none: only RequestStop() stops them.
  std::shared_ptr<CancellationToken> cancellation;
  // Told of every form of the calls (default: the thread's observer, see progress.h); the host
  // keeps it alive while it is set.
  ProgressObserver* progress = nullptr;
  // The message component of the calls (default: the thread's, see host.h).
  std::shared_ptr<HostMessages> messages;
  // The settings store of the conversion driver (default: a new one from the factory, see
  // host.h); the driver hands it the connection of each call (Init) before it reads.
  std::shared_ptr<VMSettings> settings;
  // How many runs the journal of a database keeps (journal.h; default: SetKeptRuns, 5); 0 keeps
  // nothing a run replaces and records no run.
  std::optional<int> keep_runs;
  // What the journal records as the command of a run (default: the operation's name).
  std::string command;
  // Settings a call records when it returns True, in the store that settings_connection names
  // (a SettingsConnection, see host.h), as part of its run: taking the run back takes them back
  // too. Each: section, key, value.
  std::vector<std::array<std::string, 3>> settings_on_success;
  std::shared_ptr<Object> settings_connection;
};

// What a call that writes to a database did, counted by form (a form counts once per call,
// however many steps touched it).
struct CallSummary {
  int examined = 0;      // forms a job began
  int rewritten = 0;     // of those, written anew and not failed
  int copied = 0;        // of those, delivered forms copied into the form folder, not failed
  int unchanged = 0;     // examined, neither rewritten, copied, refused nor failed
  int refused = 0;       // left as they were because their content cannot be rewritten safely
  int failed = 0;        // a message showed an error while the form was in work, or it stayed old
  int errors_shown = 0;  // error messages shown (not notices)
  bool database_busy = false;  // another run held the database: nothing was done
  bool cancelled = false;      // the call stopped early on request
};

// The process-wide defaults: every instance follows them where its CallOptions leave a field
// empty. The command line sets them from its options.
//
// Durable writes (on by default): every new file is on the disk before it replaces a form, and
// the form directory before an operation reports success or the driver records a step. Turn
// them off only for scratch copies.
void SetDurableWrites(bool on);
// One writer per database: an operation that writes holds the lock of the database's form folder
// (BerichteLL, beside its record ".llupdate-lock") for the whole call. When another run holds
// it, the operation waits up to this many seconds (0 by default) and then returns False with a
// message naming the holder.
void SetWriterLockWait(double seconds);
// How many runs the journal of each database keeps where CallOptions leave it empty (5 by
// default, see journal.h); 0 turns keeping off.
void SetKeptRuns(int runs);
int KeptRuns();
// Asks the running job to stop: the form in work is finished, nothing more is begun, and the job
// returns False. Safe to call from a signal handler or another thread. The request is for the
// whole process and stays: every later call of every instance returns False at once until
// ClearStopRequest(). To stop one instance's calls only, give it a CancellationToken.
void RequestStop() noexcept;
bool StopRequested() noexcept;
void ClearStopRequest() noexcept;

}  // namespace llupdate
