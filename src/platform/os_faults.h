// A seam for tests of the OS file system's own failure paths: while a hook is set, the calls
// below ask it first and fail with the errno it returns (0: the call is carried out). Paths are
// as the call names them (component paths for written files, OS paths for the others; none for
// an unnamed file).
#pragma once

#include <functional>
#include <string>

namespace llupdate::platform {

enum class OsCall {
  kWrite,
  kFlush,
  kCopy,
  kRename,
  kLink,
  kUnlink,
  kSyncFolder,
  kOpen,        // a form, its backup or new file in an in-place rewrite, the lock's folder
  kLock,        // the lock of a form folder
  kOwner,       // giving a new file the owner, group or mode of the form it replaces
  kAttributes,  // setting or removing an extended attribute of a new file
  kUnnamed,     // an unnamed new file (O_TMPFILE)
  kPrivate,     // keeping a new file readable by this user alone while it is written
  kNoReplace,   // a rename that refuses to replace (a flag some file systems lack: EINVAL)
};

using OsFaultHook = std::function<int(OsCall call, const std::string& path)>;
void SetOsFaultHook(OsFaultHook hook);

// True when the hook makes this call fail; errno is set then.
bool OsFault(OsCall call, const std::string& path);

}  // namespace llupdate::platform
