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

// What a lock file says: who held it last, whether that run finished, and the files it recorded
// as its own. The text is written by the lock: a header ("host=", "pid=", "since=", "state=")
// and a line "own=NAME<tab>IDENTITY" for each file the run made, names escaped (RecordLine).
struct LockRecord {
  bool running = false;  // the last holder did not mark its run finished
  std::vector<OwnFile> own;
  // Forms being rewritten in place ("inplace=FORM<tab>BACKUP"): the form may be torn, and the
  // backup (one of own) holds its old content.
  std::vector<std::pair<std::string, std::string>> in_place;
};
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
std::string InPlaceLine(const std::string& form, const std::string& backup);

// The POSIX file system's PeekFormFolderLock.
LockPeek PeekWriterLock(const std::string& folder);

// The refusal of a writer lock that another run holds, naming the holder from the lock file's
// text.
Error DatabaseBusyError(const std::string& folder, const std::string& lock_text);

// The operating-system path that a component path names (see the file comment).
std::string ResolvePath(const std::string& component_path);

}  // namespace llupdate::platform
