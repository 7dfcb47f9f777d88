// The components that this platform provides itself: its file system and a SQLite settings store.
#include "host/objects.h"
#include "platform/file_system.h"

namespace llupdate::host {

void RegisterPlatformObjects(std::map<std::string, ObjectCreator>& creators) {
  creators[kSettingsProgId] = [] { return NewSqliteSettings(); };
  creators[kFileSystemProgId] = [] { return platform::NewOsFileSystem(); };
}

}  // namespace llupdate::host
