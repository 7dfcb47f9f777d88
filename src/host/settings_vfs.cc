// SQLite's files through the component's file system: the settings database and its journal are
// InPlaceFiles of a FileSystem, so that every read, write, flush and removal of the settings file
// passes the same seam as the forms (a memory file system holds one, a failing one fails it).
// Temporary files of SQLite's own stay with SQLite's default VFS.
#include "host/settings_vfs.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace llupdate::host {
namespace {

// One open file: SQLite's header, then ours.
struct Handle {
  std::unique_ptr<InPlaceFile> file;
  FileSystem* fs;
  // A new journal: its folder is flushed after its first flush, so that after a power cut the
  // journal is there to take back what it began.
  std::string folder_to_sync;
};
struct VfsFile {
  sqlite3_file base;
  Handle* handle;
};

sqlite3_vfs* DefaultVfs() { return sqlite3_vfs_find(nullptr); }

SettingsVfs& VfsOf(sqlite3_vfs* vfs) { return *static_cast<SettingsVfs*>(vfs->pAppData); }
FileSystem& FsOf(sqlite3_vfs* vfs) { return VfsOf(vfs).fs(); }
Handle& HandleOf(sqlite3_file* f) { return *reinterpret_cast<VfsFile*>(f)->handle; }
InPlaceFile& FileOf(sqlite3_file* f) { return *HandleOf(f).file; }

// Runs call; an error becomes the SQLite code given, a disk without room SQLITE_FULL.
template <class Call>
int Guarded(int code, Call call) {
  try {
    return call();
  } catch (const Error& e) {
    return e.number() == kDiskFull ? SQLITE_FULL : code;
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  } catch (...) {
    return code;
  }
}

int Close(sqlite3_file* f) {
  VfsFile* file = reinterpret_cast<VfsFile*>(f);
  delete file->handle;
  file->handle = nullptr;
  return SQLITE_OK;
}

int Read(sqlite3_file* f, void* buffer, int size, sqlite3_int64 offset) {
  return Guarded(SQLITE_IOERR_READ, [&] {
    const size_t got = FileOf(f).ReadAt(static_cast<uint64_t>(offset), static_cast<char*>(buffer),
                                        static_cast<size_t>(size));
    if (got == static_cast<size_t>(size)) return SQLITE_OK;
    std::memset(static_cast<char*>(buffer) + got, 0, static_cast<size_t>(size) - got);
    return SQLITE_IOERR_SHORT_READ;
  });
}

int Write(sqlite3_file* f, const void* data, int size, sqlite3_int64 offset) {
  return Guarded(SQLITE_IOERR_WRITE, [&] {
    FileOf(f).WriteAt(static_cast<uint64_t>(offset), static_cast<const char*>(data),
                      static_cast<size_t>(size));
    return SQLITE_OK;
  });
}

int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Guarded(SQLITE_IOERR_TRUNCATE, [&] {
    FileOf(f).Truncate(static_cast<uint64_t>(size));
    return SQLITE_OK;
  });
}

std::string FolderOf(const std::string& path) {
  const size_t end = path.find_last_of("/\\");
  return end == std::string::npos ? "." : end == 0 ? path.substr(0, 1) : path.substr(0, end);
}

int Sync(sqlite3_file* f, int) {
  return Guarded(SQLITE_IOERR_FSYNC, [&] {
    Handle& handle = HandleOf(f);
    handle.file->Sync();
    if (!handle.folder_to_sync.empty()) {
      handle.fs->SyncFolder(handle.folder_to_sync);
      handle.folder_to_sync.clear();
    }
    return SQLITE_OK;
  });
}

int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Guarded(SQLITE_IOERR_FSTAT, [&] {
    *size = static_cast<sqlite3_int64>(FileOf(f).Size());
    return SQLITE_OK;
  });
}

int Lock(sqlite3_file* f, int level) {
  return Guarded(SQLITE_IOERR_LOCK,
                 [&] { return FileOf(f).Lock(level) ? SQLITE_OK : SQLITE_BUSY; });
}

int Unlock(sqlite3_file* f, int level) {
  return Guarded(SQLITE_IOERR_UNLOCK, [&] {
    FileOf(f).Unlock(level);
    return SQLITE_OK;
  });
}

int CheckReservedLock(sqlite3_file* f, int* reserved) {
  return Guarded(SQLITE_IOERR_CHECKRESERVEDLOCK, [&] {
    *reserved = FileOf(f).Reserved() ? 1 : 0;
    return SQLITE_OK;
  });
}

int FileControl(sqlite3_file*, int, void*) { return SQLITE_NOTFOUND; }
int SectorSize(sqlite3_file*) { return 4096; }
int DeviceCharacteristics(sqlite3_file*) { return 0; }

constexpr sqlite3_io_methods kMethods = {
    1,
    Close,
    Read,
    Write,
    Truncate,
    Sync,
    FileSize,
    Lock,
    Unlock,
    CheckReservedLock,
    FileControl,
    SectorSize,
    DeviceCharacteristics,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* out_flags) {
  const int ours = SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL;
  if (name == nullptr || (flags & ours) == 0) {
    // SQLite's own temporary files: the default VFS, which fits in our room.
    sqlite3_vfs* os = DefaultVfs();
    return os->xOpen(os, name, f, flags, out_flags);
  }
  VfsFile* file = reinterpret_cast<VfsFile*>(f);
  file->base.pMethods = nullptr;
  const bool write = (flags & SQLITE_OPEN_READWRITE) != 0;
  const bool create = (flags & SQLITE_OPEN_CREATE) != 0;
  return Guarded(SQLITE_CANTOPEN, [&] {
    std::unique_ptr<InPlaceFile> opened;
    try {
      try {
        opened = FsOf(vfs).OpenInPlace(name, write, create);
      } catch (const Error& e) {
        // A file this account may only read is opened for reading, as SQLite does on its own.
        if (!write || e.number() != kPermissionDenied || !FsOf(vfs).FileExists(name)) throw;
        opened = FsOf(vfs).OpenInPlace(name, false, false);
        flags = (flags & ~(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)) | SQLITE_OPEN_READONLY;
      }
    } catch (const Error& e) {
      VfsOf(vfs).set_open_failure(e);
      throw;
    }
    if (!opened) return SQLITE_CANTOPEN;
    const bool new_journal = (flags & SQLITE_OPEN_MAIN_JOURNAL) != 0 && create;
    file->handle = new Handle{std::move(opened), &FsOf(vfs), new_journal ? FolderOf(name) : ""};
    file->base.pMethods = &kMethods;
    if (out_flags != nullptr) *out_flags = flags;
    return SQLITE_OK;
  });
}

int Delete(sqlite3_vfs* vfs, const char* name, int sync_folder) {
  return Guarded(SQLITE_IOERR_DELETE, [&] {
    FileSystem& fs = FsOf(vfs);
    if (!fs.FileExists(name)) return SQLITE_IOERR_DELETE_NOENT;
    fs.DeleteFile(name, false);
    if (sync_folder != 0) fs.SyncFolder(FolderOf(name));
    return SQLITE_OK;
  });
}

int Access(sqlite3_vfs* vfs, const char* name, int flags, int* result) {
  return Guarded(SQLITE_IOERR_ACCESS, [&] {
    FileSystem& fs = FsOf(vfs);
    *result = fs.KindOf(name) == EntryKind::kFile ? 1 : 0;
    if (*result != 0 && flags == SQLITE_ACCESS_READWRITE) {
      *result = (fs.GetAttributes(name) & kAttrReadOnly) == 0 ? 1 : 0;
    }
    return SQLITE_OK;
  });
}

// Names stay as given: the file system finds them.
int FullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  const size_t length = std::strlen(name);
  if (length + 1 > static_cast<size_t>(size)) return SQLITE_CANTOPEN;
  std::memcpy(out, name, length + 1);
  return SQLITE_OK;
}

int Randomness(sqlite3_vfs*, int size, char* out) {
  sqlite3_vfs* os = DefaultVfs();
  return os->xRandomness(os, size, out);
}
int Sleep(sqlite3_vfs*, int microseconds) {
  sqlite3_vfs* os = DefaultVfs();
  return os->xSleep(os, microseconds);
}
int CurrentTime(sqlite3_vfs*, double* now) {
  sqlite3_vfs* os = DefaultVfs();
  return os->xCurrentTime(os, now);
}
int LastError(sqlite3_vfs*, int, char*) { return 0; }

}  // namespace

SettingsVfs::SettingsVfs(std::shared_ptr<FileSystem> fs) : fs_(std::move(fs)) {
  static std::atomic<unsigned> next{0};
  name_ = "llupdate-" + std::to_string(next++);
  sqlite3_vfs* os = DefaultVfs();
  vfs_ = {};
  vfs_.iVersion = 1;
  vfs_.szOsFile = std::max(static_cast<int>(sizeof(VfsFile)), os->szOsFile);
  // A name as long as the file system takes (the operating system's files stop at 512 bytes,
  // a database path of a few folders deep can be longer).
  vfs_.mxPathname = std::max(os->mxPathname, 4096);
  vfs_.zName = name_.c_str();
  vfs_.pAppData = this;
  vfs_.xOpen = Open;
  vfs_.xDelete = Delete;
  vfs_.xAccess = Access;
  vfs_.xFullPathname = FullPathname;
  vfs_.xRandomness = Randomness;
  vfs_.xSleep = Sleep;
  vfs_.xCurrentTime = CurrentTime;
  vfs_.xGetLastError = LastError;
  sqlite3_vfs_register(&vfs_, 0);
}

SettingsVfs::~SettingsVfs() { sqlite3_vfs_unregister(&vfs_); }

}  // namespace llupdate::host
