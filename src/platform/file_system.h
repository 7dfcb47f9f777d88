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
using llupdate::LockPeek;
using llupdate::NewMemoryFileSystem;
using llupdate::NewOsFileSystem;
using llupdate::OpenMode;
using llupdate::OwnFile;
using llupdate::WriterLock;
using enum llupdate::Attribute;
using llupdate::kLockFileName;

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
