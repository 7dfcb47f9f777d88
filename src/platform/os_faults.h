// A seam for tests of the OS file system's own failure paths: while a hook is set, the calls
// below ask it first and fail with the errno it returns (0: the call is carried out). Paths are
// as the call names them (component paths for files, OS paths for renames and links).
#pragma once

#include <functional>
#include <string>

namespace llupdate::platform {

enum class OsCall { kWrite, kFlush, kCopy, kRename, kLink, kUnlink, kSyncFolder };

using OsFaultHook = std::function<int(OsCall call, const std::string& path)>;
void SetOsFaultHook(OsFaultHook hook);

// True when the hook makes this call fail; errno is set then.
bool OsFault(OsCall call, const std::string& path);

}  // namespace llupdate::platform
