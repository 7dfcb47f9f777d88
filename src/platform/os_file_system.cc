// The file-system object over POSIX. The read-only attribute is the absence of the owner's write
// permission; this layer refuses what Windows refuses on a read-only file (writing, overwriting,
// deleting without force) itself, because the OS lets root do all of it and the component must
// behave the same whoever runs it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace llupdate::platform {
namespace {

class OsFile : public File {
 public:
  OsFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~OsFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  size_t Read(char* buffer, size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) throw ErrorFromErrno(errno, path_);
    }
  }

  void Write(const char* data, size_t size) override {
    while (size > 0) {
      ssize_t n = ::write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw ErrorFromErrno(errno, path_);
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  void Close() override {
    int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0) throw ErrorFromErrno(errno, path_);
  }

 private:
  int fd_;
  std::string path_;
};

// Copies the content of one open file to another: in the kernel where it can, else through a
// buffer.
void CopyContent(int in, int out, OsFile& reader, OsFile& writer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size - done, 0);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  char buffer[1 << 16];
  while (size_t n = reader.Read(buffer, sizeof buffer)) writer.Write(buffer, n);
}

bool StatPath(const std::string& os_path, struct stat* st) {
  return ::stat(os_path.c_str(), st) == 0;
}

bool IsReadOnlyMode(mode_t mode) { return (mode & S_IWUSR) == 0; }

// The error for a path that does not exist: "path not found" when its directory is missing too.
Error MissingError(const std::string& os_path, const std::string& shown) {
  size_t slash = os_path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    struct stat st;
    if (!StatPath(os_path.substr(0, slash), &st) || !S_ISDIR(st.st_mode)) {
      return Error(kPathNotFound, shown);
    }
  }
  return Error(kFileNotFound, shown);
}

class OsFileSystem : public FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    struct stat st;
    return StatPath(ResolvePath(path), &st) && S_ISREG(st.st_mode);
  }

  bool FolderExists(const std::string& path) override {
    struct stat st;
    return StatPath(ResolvePath(path), &st) && S_ISDIR(st.st_mode);
  }

  void CreateFolder(const std::string& path) override {
    std::string os_path = ResolvePath(path);
    while (os_path.size() > 1 && os_path.back() == '/') os_path.pop_back();
    if (::mkdir(os_path.c_str(), 0777) != 0) {
      if (errno == ENOENT) throw Error(kPathNotFound, path);
      throw ErrorFromErrno(errno, path);
    }
    NoteCreated(os_path);
  }

  void CopyFile(const std::string& source, const std::string& destination,
                bool overwrite) override {
    std::string from = ResolvePath(source), to = ResolvePath(destination);
    struct stat src, dst;
    if (!StatPath(from, &src)) throw MissingError(from, source);
    if (!S_ISREG(src.st_mode)) throw Error(kFileNotFound, source);
    if (StatPath(to, &dst)) {
      if (!S_ISREG(dst.st_mode)) throw Error(kPermissionDenied, destination);
      if (!overwrite) throw Error(kFileAlreadyExists, destination);
      if (IsReadOnlyMode(dst.st_mode)) throw Error(kPermissionDenied, destination);
      if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
        throw Error(kPermissionDenied, destination);  // a file cannot be copied onto itself
      }
    }
    // The copy is written beside the destination and renamed into place, so that a failed copy
    // never leaves a half-written destination behind.
    std::string partial = to + ".llupdate-copy";
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) throw ErrorFromErrno(errno, source);
    OsFile reader(in, source);
    int out = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) throw ErrorFromErrno(errno, destination);
    try {
      OsFile writer(out, destination);
      CopyContent(in, out, reader, writer, static_cast<size_t>(src.st_size));
      writer.Close();
      reader.Close();
      if (::chmod(partial.c_str(), src.st_mode & 07777) != 0)
        throw ErrorFromErrno(errno, destination);
      struct timespec times[2] = {src.st_atim, src.st_mtim};
      if (::utimensat(AT_FDCWD, partial.c_str(), times, 0) != 0) {
        throw ErrorFromErrno(errno, destination);
      }
      if (::rename(partial.c_str(), to.c_str()) != 0) throw ErrorFromErrno(errno, destination);
    } catch (...) {
      ::unlink(partial.c_str());
      NoteRemoved(partial);
      throw;
    }
    NoteRemoved(partial);
    NoteCreated(to);
  }

  void MoveFile(const std::string& source, const std::string& destination) override {
    std::string from = ResolvePath(source), to = ResolvePath(destination);
    struct stat st;
    if (!StatPath(from, &st)) throw MissingError(from, source);
    if (::lstat(to.c_str(), &st) == 0) throw Error(kFileAlreadyExists, destination);
    if (::rename(from.c_str(), to.c_str()) != 0) throw ErrorFromErrno(errno, destination);
    NoteRemoved(from);
    NoteCreated(to);
  }

  void DeleteFile(const std::string& path, bool force) override {
    std::string os_path = ResolvePath(path);
    struct stat st;
    if (!StatPath(os_path, &st) || !S_ISREG(st.st_mode)) throw MissingError(os_path, path);
    if (!force && IsReadOnlyMode(st.st_mode)) throw Error(kPermissionDenied, path);
    if (::unlink(os_path.c_str()) != 0) throw ErrorFromErrno(errno, path);
    NoteRemoved(os_path);
  }

  std::vector<FileEntry> ListFiles(const std::string& folder) override {
    std::string os_path = ResolvePath(folder);
    DIR* dir = ::opendir(os_path.empty() ? "." : os_path.c_str());
    if (dir == nullptr) {
      if (errno == ENOENT || errno == ENOTDIR) throw Error(kPathNotFound, folder);
      throw ErrorFromErrno(errno, folder);
    }
    std::vector<FileEntry> files;
    std::string prefix = os_path.empty() || os_path.back() == '/' ? os_path : os_path + "/";
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      struct stat st;
      if (!StatPath(prefix + name, &st) || !S_ISREG(st.st_mode)) continue;
      files.push_back({name, folder + "\\" + name});
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end(),
              [](const FileEntry& a, const FileEntry& b) { return NameLess(a.name, b.name); });
    return files;
  }

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    std::string os_path = ResolvePath(path);
    struct stat st;
    bool exists = StatPath(os_path, &st);
    if (exists && S_ISDIR(st.st_mode)) throw Error(kPathFileAccessError, path);
    int fd;
    if (mode == OpenMode::kRead) {
      if (!exists) throw MissingError(os_path, path);
      fd = ::open(os_path.c_str(), O_RDONLY | O_CLOEXEC);
    } else {
      if (exists && IsReadOnlyMode(st.st_mode)) throw Error(kPermissionDenied, path);
      fd = ::open(os_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
      if (fd < 0 && errno == ENOENT) throw Error(kPathNotFound, path);
      if (fd >= 0 && !exists) NoteCreated(os_path);
    }
    if (fd < 0) throw ErrorFromErrno(errno, path);
    return std::make_unique<OsFile>(fd, path);
  }

  uint32_t GetAttributes(const std::string& path) override {
    std::string os_path = ResolvePath(path);
    struct stat st;
    if (!StatPath(os_path, &st)) throw MissingError(os_path, path);
    uint32_t attributes = kAttrNormal;
    if (S_ISDIR(st.st_mode)) attributes |= kAttrDirectory;
    if (IsReadOnlyMode(st.st_mode)) attributes |= kAttrReadOnly;
    return attributes;
  }

  void SetAttributes(const std::string& path, uint32_t attributes) override {
    std::string os_path = ResolvePath(path);
    struct stat st;
    if (!StatPath(os_path, &st)) throw MissingError(os_path, path);
    mode_t mode = st.st_mode & 07777;
    if (attributes & kAttrReadOnly) {
      mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else {
      mode |= S_IWUSR;
    }
    if (mode != (st.st_mode & 07777) && ::chmod(os_path.c_str(), mode) != 0) {
      throw ErrorFromErrno(errno, path);
    }
  }
};

}  // namespace

std::shared_ptr<FileSystem> NewOsFileSystem() { return std::make_shared<OsFileSystem>(); }

}  // namespace llupdate::platform
