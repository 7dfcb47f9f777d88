// The frame of every operation that writes: one writer per database, leftovers of a dead run
// healed before anything starts, and the changed folders on the disk before success is reported.
#pragma once

#include <functional>
#include <string>

#include "journal/journal.h"
#include "llupdate/report_ll_update.h"

namespace llupdate::component {

// Runs body as the writer of the database pDBPath. The outermost call of a thread takes the
// lock (nested calls of jobs and the driver run inside it), resolves what an unfinished earlier
// run left in the form directory, runs body and flushes the folders it changed; a failed flush
// turns True into False. A database held by another run gives False and a message naming the
// holder, with nothing run. The outermost call is one run in the database's journal, recorded
// under the command of the call options (or operation) with what it replaced and how it ended.
bool AsWriter(clsReportLLUpdate& self, const std::string& pDBPath, const std::string& operation,
              const std::function<bool()>& body);

// The operation that takes a run back: its run keeps one more in the journal while it begins, so
// that the run it takes back is not pruned.
inline constexpr char kUndoOperation[] = "UndoLastRun";

// The journal's view of a database: its form and delivery folders.
journal::Folders FoldersOf(const std::string& pDBPath);
// The settings file a connection names ("" for a host's own connection).
std::string SettingsStoreOf(const std::shared_ptr<Object>& connection);

// How long a writer waits for another run that holds its database (SetWriterLockWait).
double LockWaitSeconds();

// Carries out the swaps that wait for their flush, with the messages held meanwhile.
void SettleSwaps(clsReportLLUpdate& self);
// Settles the swaps, then puts the folders changed so far on the disk; False after a shown error.
bool FlushChangedFolders(clsReportLLUpdate& self);

// True after a stop request; shows that the job stops, once per request.
bool StopHere(clsReportLLUpdate& self, const std::string& operation);

}  // namespace llupdate::component
