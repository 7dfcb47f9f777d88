// The routines that touch files directly, below the level of the form rewrites: opening a text
// file on a free number, reading one value of a project file, loading a file into a line array
// and writing it back, reading and writing a whole file, and removing the read-only attribute.
// Each routine closes every file it opened, on every path.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "files/file_table.h"
#include "host/error_convention.h"
#include "llupdate/host.h"
#include "llupdate/progress.h"
#include "platform/file_system.h"
#include "platform/job_notes.h"
#include "text/encoding.h"

namespace llupdate::journal {
class Run;
}

namespace llupdate::host {
class frmListLabel;
}  // namespace llupdate::host

namespace llupdate::files {

// The swaps of a job's forms that wait until their new files are on the disk together: the
// rewrites hand their swaps over, and the job carries them out after one flush for all of them,
// each in its place among the messages and progress the job held back meanwhile, so that what
// the host sees keeps its order.
class SwapBatch {
 public:
  virtual ~SwapBatch() = default;
  // Takes the swap of form (its new file written and closed); swap runs once the batch is
  // flushed, with the flush's error (nullptr: the new file is on the disk). False when the job
  // does not batch: the caller swaps at once.
  virtual bool Defer(const std::string& form,
                     std::function<void(const std::exception_ptr& flush_error)> swap) = 0;
  // True when form waits in the batch: what reads or writes it settles the batch first.
  virtual bool Waiting(const std::string& form) const = 0;
  // Flushes the waiting files and carries out their swaps and the held events, in order.
  virtual void Settle() = 0;
};

// What the routines work with: the file system, the numbered-file table, and, inside a job, the
// job's notes (what its writer acts on when it ends) and the observer of its progress.
struct FileContext {
  platform::FileSystem& fs;
  FileTable& table;
  platform::JobNotes* notes = nullptr;
  ProgressObserver* progress = nullptr;
  host::Reporter* reporter = nullptr;  // counts the messages the routines show
  // The run's journal: what a routine replaces or would remove is kept there (nullptr: nothing
  // is kept, outside a job or with keeping off).
  journal::Run* journal = nullptr;
  // Keeping is on: a file the run did not make is never removed, even when the journal could not
  // begin (journal nullptr then) and so cannot take it.
  bool journal_wanted = false;
  // The job's batch of swaps (nullptr: every swap happens at once).
  SwapBatch* batch = nullptr;
  // The instance's form of the List & Label control, loaded into it on first use (nullptr: each
  // use loads a form of its own).
  std::unique_ptr<host::frmListLabel>* control_form = nullptr;

  // Settles the job's batch when form waits in it, so that the form is read as it will be.
  void SettleFor(const std::string& form) {
    if (batch != nullptr && batch->Waiting(form)) batch->Settle();
  }
  void Settle() {
    if (batch != nullptr) batch->Settle();
  }

  void FolderChanged(const std::string& folder) {
    if (notes != nullptr) notes->FolderChanged(folder);
  }
  void LeftBehind() {
    if (notes != nullptr) notes->left_behind = true;
  }
  void IoFailure() {
    if (notes != nullptr) ++notes->io_failures;
  }
};

// True when a directory search finds path as a file: it exists, is no directory and is neither
// hidden nor a system file; its attributes to *attributes when asked for.
bool FindFile(platform::FileSystem& fs, const std::string& path, uint32_t* attributes = nullptr);

// Opens path on the lowest free number: for reading lines when flag is True, otherwise for writing
// lines (created or emptied) in the given encoding. Returns the number, which the caller closes,
// or 0 after reporting the error through ReportError. A file for writing is a new one when
// create_new is set (error 58 when the name is taken).
int32_t Ausgabe_Open(FileContext& ctx, bool flag, const std::string& path,
                     Encoding encoding = Encoding::kAnsi, bool create_new = false);

// The lines of a file in a new line array (one column), with one empty row after the last line;
// nullptr after a shown error. The file's encoding goes to *encoding when asked for.
std::shared_ptr<DynArray> Aufbau_ProjektArray(FileContext& ctx, const std::string& path,
                                              Encoding* encoding = nullptr);

// Writes every row of a line array as one line; -1 on success, 0 after a shown error.
int32_t Speichern_ProjektArray(FileContext& ctx, const std::string& path,
                               const std::shared_ptr<DynArray>& lines,
                               Encoding encoding = Encoding::kAnsi);

// Copies a file's bytes to a new file of the run's own (error 58 when the name is taken), which
// waits for the job's flush like every new file the job writes. Errors are thrown; the caller
// removes a destination that a failure left.
void CopyToTemporary(FileContext& ctx, const std::string& source, const std::string& destination);

// The whole text of a file with every occurrence of search replaced (left to right, without
// overlap) and CR LF after it, read a piece at a time and kept in memory, as the lines a file of
// that text loads as (Aufbau_ProjektArray: a new line array, one empty row after the last line);
// the file's encoding to *encoding. A failing read (a missing file too: the caller looks for it
// first) is shown as the reading routine's ("TXT_ReadAll"); nullptr then.
std::shared_ptr<DynArray> TXT_ReplaceAllLines(FileContext& ctx, const std::string& path,
                                              const std::string& search,
                                              const std::string& replacement, Encoding* encoding);

// Clears the read-only attribute of a file. True when it is clear afterwards or the file is not
// there; False after a shown error.
bool RemoveReadOnly(FileContext& ctx, const std::string& sFilename);

}  // namespace llupdate::files
