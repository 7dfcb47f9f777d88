// Files read and changed in place (the settings store's database and its journal), with the
// advisory locks of SQLite's file format as open-file-description locks: they meet the locks of
// every other process that opens the file (SQLite's own included), and closing another descriptor
// of the same file in this process leaves them alone.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/in_place_file.h"
#include "platform/os_faults.h"

namespace llupdate::platform {
namespace {

// Where SQLite keeps its locks: one byte each for pending and reserved, then the shared range.
constexpr off_t kPendingByte = 0x40000000;
constexpr off_t kReservedByte = kPendingByte + 1;
constexpr off_t kSharedFirst = kPendingByte + 2;
constexpr off_t kSharedSize = 510;

class OsInPlaceFile : public InPlaceFile {
 public:
  OsInPlaceFile(int fd, std::string path, bool durable)
      : fd_(fd), path_(std::move(path)), durable_(durable) {}
  ~OsInPlaceFile() override { ::close(fd_); }

  size_t ReadAt(uint64_t offset, char* buffer, size_t size) override {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::pread(fd_, buffer + done, size - done, static_cast<off_t>(offset + done));
      if (n == 0) break;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw ErrorFromErrno(errno, path_);
      done += static_cast<size_t>(n);
    }
    return done;
  }

  void WriteAt(uint64_t offset, const char* data, size_t size) override {
    while (size > 0) {
      ssize_t n = OsFault(OsCall::kWrite, path_)
                      ? -1
                      : ::pwrite(fd_, data, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw ErrorFromErrno(errno, path_);
      data += n;
      offset += static_cast<uint64_t>(n);
      size -= static_cast<size_t>(n);
    }
  }

  void Truncate(uint64_t size) override {
    if (OsFault(OsCall::kWrite, path_) || ::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      throw ErrorFromErrno(errno, path_);
    }
  }

  uint64_t Size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw ErrorFromErrno(errno, path_);
    return static_cast<uint64_t>(st.st_size);
  }

  void Sync() override {
    if (durable_ && (OsFault(OsCall::kFlush, path_) || ::fdatasync(fd_) != 0)) {
      throw ErrorFromErrno(errno, path_);
    }
  }

  bool Lock(int level) override {
    if (level <= level_) return true;
    if (level == 1) {
      // Readers pass the pending byte on their way in, so that a writer waiting for them to
      // leave (pending) lets no new one in.
      if (!Set(F_RDLCK, kPendingByte, 1)) return false;
      const bool shared = Set(F_RDLCK, kSharedFirst, kSharedSize);
      Set(F_UNLCK, kPendingByte, 1);
      if (shared) level_ = 1;
      return shared;
    }
    if (level == 2) {
      if (!Set(F_WRLCK, kReservedByte, 1)) return false;
      level_ = 2;
      return true;
    }
    if (level_ < 3) {
      if (!Set(F_WRLCK, kPendingByte, 1)) return false;
      level_ = 3;
    }
    if (level == 4) {
      if (!Set(F_WRLCK, kSharedFirst, kSharedSize)) return false;
      level_ = 4;
    }
    return true;
  }

  void Unlock(int level) override {
    if (level >= level_) return;
    if (level == 1) {
      if (level_ == 4) Set(F_RDLCK, kSharedFirst, kSharedSize);
      Set(F_UNLCK, kPendingByte, 2);  // pending and reserved
      level_ = 1;
      return;
    }
    Set(F_UNLCK, 0, 0);
    level_ = 0;
  }

  bool Reserved() override {
    if (level_ >= 2) return true;
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = kReservedByte;
    probe.l_len = 1;
    if (::fcntl(fd_, F_OFD_GETLK, &probe) != 0) throw ErrorFromErrno(errno, path_);
    return probe.l_type != F_UNLCK;
  }

 private:
  // False when another holder stands in the way.
  bool Set(short type, off_t start, off_t length) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    while (::fcntl(fd_, F_OFD_SETLK, &lock) != 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EACCES) return false;
      throw ErrorFromErrno(errno, path_);
    }
    return true;
  }

  int fd_;
  std::string path_;
  bool durable_;
  int level_ = 0;
};

}  // namespace

std::unique_ptr<InPlaceFile> OpenOsInPlaceFile(const std::string& os_path, bool write, bool create,
                                               bool durable) {
  const int flags = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW;
  int fd = OsFault(OsCall::kOpen, os_path) ? -1 : ::open(os_path.c_str(), flags);
  bool created = false;
  if (fd < 0 && errno == ENOENT && create && write) {
    fd = OsFault(OsCall::kOpen, os_path) ? -1
                                         : ::open(os_path.c_str(), flags | O_CREAT | O_EXCL, 0666);
    created = fd >= 0;
  }
  if (fd < 0 && errno == ENOENT && create && write) throw Error(kPathNotFound, os_path);
  if (fd < 0 && errno == ELOOP) throw Error(kPermissionDenied, os_path + " (ein Link)");
  if (fd < 0) throw ErrorFromErrno(errno, os_path);
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw Error(kPathFileAccessError, os_path + " (keine Datei)");
  }
  if (created && ::geteuid() == 0) {
    // The administrator's new file belongs to whoever owns its folder, so that the folder's
    // owner can still change and remove it.
    const size_t slash = os_path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : os_path.substr(0, slash);
    struct stat owner;
    if (::stat(folder.c_str(), &owner) == 0 &&
        (OsFault(OsCall::kOwner, os_path) || ::fchown(fd, owner.st_uid, owner.st_gid) != 0)) {
      const int err = errno;
      ::close(fd);
      ::unlink(os_path.c_str());
      throw ErrorFromErrno(err, os_path);
    }
  }
  return std::make_unique<OsInPlaceFile>(fd, os_path, durable);
}

}  // namespace llupdate::platform
