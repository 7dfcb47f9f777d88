// The file system inside the component: the public interface under the names the code uses, and
// what the rewrites share with the file systems (durable writes, partial file names, folders to
// flush, files left behind).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "llupdate/error.h"
#include "llupdate/file_system.h"

namespace llupdate::platform {

using llupdate::Attribute;
using llupdate::EntryKind;
using llupdate::File;
using llupdate::FileEntry;
using llupdate::FileSystem;
using llupdate::ForwardingFileSystem;
using llupdate::InPlaceFile;
using llupdate::NewMemoryFileSystem;
using llupdate::NewOsFileSystem;
using llupdate::OpenMode;
using enum llupdate::Attribute;
using llupdate::kLockFileName;

// A file that a run made beside the forms (a temporary file, a backup, a partial copy), as the
// lock file records it: its name in the form folder and what identifies it ("device:inode" for a
// file the run created, "device:inode:size:mtime" for a second name of a form's content). An empty
// name stands for a file the run made before it knew its name: it is the run's under any name.
//
// A record is written by one account, and only that account's files are ever its own: owner is
// the account ("uid" on POSIX) whose record named the file, "" where this file system has no
// owners. A file of another owner is never resolved from a record, whatever its identity says.
struct OwnFile {
  std::string name;
  std::string identity;
  std::string owner;
};

// True when a file's identity now (FileSystem::FileIdentity) is the one recorded: the same file,
// and for a recorded size and time the same content. A file recorded by name before it existed
// (where a file system cannot name a file after it is recorded) has the identity
// kIdentityOfEmptyFile: it is the run's while it is empty, as removing it then loses nothing.
bool IdentityMatches(const std::string& now, const std::string& recorded);
inline constexpr char kIdentityOfEmptyFile[] = "empty";

// The writer lock of a form folder, held while the object lives. The lock file also records
// whether the run that held it last finished, and which files it made beside the forms: one that
// did not finish (a crash, a kill, a power cut) may have left some of them behind.
// What the lock of a form folder says, read without taking the lock: whether another run holds
// it now, and whether the last run finished.
struct LockPeek {
  bool held = false;
  bool unfinished = false;   // not held, and the last holder did not finish
  std::string text;          // the lock file's text (who held it last)
  std::vector<OwnFile> own;  // what the unfinished last runs recorded as their own
  // Forms an unfinished run was rewriting in place (the form may be half-written), with the
  // complete copy of their old content, and why the writer that takes the lock next would not
  // give it back ("" when it would).
  struct InterruptedRewrite {
    std::string form, backup, why;
  };
  std::vector<InterruptedRewrite> in_place;
  std::vector<std::string> refused;  // records that are not trusted, and why
};

class WriterLock {
 public:
  virtual ~WriterLock() = default;
  // True when the previous holder ended without MarkFinished().
  virtual bool previous_run_unfinished() const = 0;
  // The files that the unfinished previous holder recorded as its own; only these may be
  // resolved by a heal or a recovery.
  virtual std::vector<OwnFile> previous_own_files() const { return {}; }
  // False when this thread holds the folder already (reached through another path): the call
  // then runs inside the outer one, which heals, flushes and finishes.
  virtual bool outermost() const { return true; }
  // The forms that the unfinished previous holder was rewriting in place and that were given
  // their old content back when this lock was taken (so that none stays torn).
  virtual std::vector<std::string> restored_in_place() const { return {}; }
  // Forms an unfinished run was rewriting in place that changed since (another file under the
  // name, or content that run could not have left): the form stays as it is, and the old
  // content stays beside it under a name of its own: (form, that name and in parentheses why).
  virtual std::vector<std::pair<std::string, std::string>> kept_in_place() const { return {}; }
  // Records of runs that are not trusted (another owner than the account they claim, writable by
  // others, names that are no plain names of the folder), each with why: nothing was done from
  // them.
  virtual std::vector<std::string> refused_records() const { return {}; }
  // Records that this run ended with nothing of its own left beside the forms.
  virtual void MarkFinished() = 0;
};

// The writer locks of form folders, offered by the file systems that have them (the operating
// system's, the one in memory, a preview); a host's own file system has none.
class FolderLocks {
 public:
  virtual ~FolderLocks() = default;
  // Takes the writer lock of the form folder (the folder itself is the key, so that every path
  // that reaches it meets the same lock), waiting up to wait_seconds for another holder: error 70
  // naming the holder when it stays held, another error naming the reason and the remedy when
  // the lock or its record cannot be taken or written. While the lock is held, the files this
  // file system creates in the folder are recorded in it as the run's own. nullptr when the
  // folder does not exist (nothing there to protect).
  virtual std::unique_ptr<WriterLock> LockFormFolder(const std::string& folder,
                                                     double wait_seconds) = 0;
  // What the lock of a form folder says, read without taking it.
  virtual LockPeek PeekFormFolderLock(const std::string& folder) = 0;
};
// The locks of fs: its own, or those of the file system a ForwardingFileSystem passes its calls
// on to; nullptr when it has none.
FolderLocks* LocksOf(FileSystem& fs);
// The lock and the look at it through LocksOf: nullptr, and nothing held, where fs has no locks.
std::unique_ptr<WriterLock> LockFormFolder(FileSystem& fs, const std::string& folder,
                                           double wait_seconds);
LockPeek PeekFormFolderLock(FileSystem& fs, const std::string& folder);

// Whether new files are put on the disk before they replace a form, and folders after their
// entries changed: the process-wide default of every file system that has no choice of its own
// (FileSystem::UseDurableWrites). On by default; off for scratch copies, where speed counts more
// than a power cut.
void SetDurableWrites(bool on);
bool DurableWrites();

// True for the error numbers of I/O failures (JobNotes::io_failures).
bool IsIoFailure(int32_t number);

// A name for a partial file beside path that nothing else uses: path, ".llupdate-", a number
// unique in this process, and ".tmp". Such files are the program's own; a finished one is
// renamed to its final name.
std::string PartialFileName(const std::string& path);
// True for a name that PartialFileName made (or the copy's partial file of earlier versions).
bool IsPartialFileName(const std::string& name);

// What a run's record says: whether that run finished, and the files it recorded as its own.
// The text is written by the lock: a header ("host=", "pid=", "uid=", "since=", "state=") and a
// line "own=NAME<tab>IDENTITY" for each file the run made, names escaped (RecordLine).
//
// A record is data written by an account, never authority: every name in it must be one plain
// name of the form folder (no separator of either kind, no "." or "..", no NUL); a record that
// holds any other name is refused as a whole (invalid says why, and nothing of it is kept).
struct InPlaceRewrite {
  std::string form;      // the form being rewritten in place
  std::string backup;    // the run's complete copy of its old content
  std::string source;    // the run's file with the new content
  std::string identity;  // "device:inode" of the form: a restore needs the same file
};
struct LockRecord {
  bool running = false;  // the last holder did not mark its run finished
  std::vector<OwnFile> own;
  // Forms being rewritten in place ("inplace=FORM<tab>BACKUP<tab>SOURCE<tab>IDENTITY"): the form
  // may be torn, and the backup (one of own) holds its old content.
  std::vector<InPlaceRewrite> in_place;
  std::string invalid;  // why the record cannot be trusted; "" when it can
};
// A field of a record on one line: "%", tab, CR and LF written as "%XX", and read back.
std::string Escape(const std::string& field);
std::string Unescape(const std::string& text);

// Who runs this process, as the records of runs name it: the user's name and account ("uid" on
// POSIX, "" where the system has none in a file's owner), the host and the process number.
struct Who {
  std::string user, account, host, process;
};
Who WhoRuns();

// True for a name that may stand in a record: one plain component of the form folder.
bool IsPlainName(const std::string& name);
LockRecord ParseLockRecord(const std::string& text);
// The header of a lock record: who holds it and whether the run is still going. uid is left out
// where the system has none ("").
std::string LockRecordHeader(const std::string& host, const std::string& pid,
                             const std::string& uid, const std::string& since, bool running);
inline constexpr char kRecordRunning[] = "state=running";
inline constexpr char kRecordFinished[] = "state=finished";
// A value of a lock record's header ("host", "pid", "since"), "?" when it has none.
std::string LockRecordValue(const std::string& text, const std::string& key);
std::string RecordLine(const OwnFile& file);
std::string InPlaceLine(const InPlaceRewrite& rewrite);

// True when a form that was being rewritten in place, from its old content to its new one, holds
// now what that rewrite could have left when it was interrupted: the new content written over the
// old from the start (any part of it, the old rest not yet cut off), or either content whole.
bool CouldBeLeftByRewrite(const std::string& now, const std::string& old_content,
                          const std::string& new_content);

// The POSIX file system's PeekFormFolderLock.
LockPeek PeekWriterLock(const std::string& folder);

// The refusal of a writer lock that another run holds, naming the holder from the lock file's
// text.
Error DatabaseBusyError(const std::string& folder, const std::string& lock_text);

// The operating-system path that a component path names (see the file comment).
std::string ResolvePath(const std::string& component_path);

}  // namespace llupdate::platform
