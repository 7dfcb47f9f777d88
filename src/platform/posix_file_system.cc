// The file-system object over POSIX. The read-only attribute is the absence of the owner's write
// permission; this layer refuses what Windows refuses on a read-only file (writing, overwriting,
// deleting without force) itself, because the OS lets root do all of it and the component must
// behave the same whoever runs it.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "llupdate/call.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/in_place_file.h"
#include "platform/os_faults.h"
#include "platform/path_posix.h"
#include "text/text.h"

namespace llupdate::platform {

namespace {
OsFaultHook fault_hook;
}  // namespace

void SetOsFaultHook(OsFaultHook hook) { fault_hook = std::move(hook); }

bool OsFault(OsCall call, const std::string& path) {
  if (!fault_hook) return false;
  int err = fault_hook(call, path);
  if (err != 0) errno = err;
  return err != 0;
}

namespace {

// The user this process acts as now (a host may change it between calls).
uid_t EffectiveUser() { return ::geteuid(); }

// What identifies a file the program created ("device:inode"), and the content of a file it gave
// a second name ("device:inode:size:mtime").
std::string FileOnlyIdentity(const struct stat& st) {
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}
std::string ContentIdentity(const struct stat& st) {
  return FileOnlyIdentity(st) + ":" + std::to_string(st.st_size) + ":" +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

// Writes size bytes at offset at (-1: at the file's position) and returns once they and what
// reading them needs are on the disk: the write and the flush in one call. -1 with errno set
// (EOPNOTSUPP or EINVAL from a kernel or file system that cannot), or the bytes written.
ssize_t WriteDurably(int fd, const char* data, size_t size, off_t at) {
  iovec piece{const_cast<char*>(data), size};
  return ::pwritev2(fd, &piece, 1, at, RWF_DSYNC);
}

class OsFile : public File {
 public:
  // A file opened for writing is put on the disk when it is closed if durable is set, unless
  // waiting is given: then it is closed as it is, and waiting notes that it still has to go there.
  OsFile(int fd, std::string path, bool written = false, bool durable = false,
         std::function<void()> waiting = nullptr)
      : fd_(fd),
        path_(std::move(path)),
        written_(written),
        durable_(written && durable && !waiting),
        waiting_(written && durable ? std::move(waiting) : nullptr) {}
  ~OsFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  // A read of a regular file that gives less than asked for has reached its end (the form is
  // not growing: its database is locked): the next read answers 0 without asking the kernel.
  size_t Read(char* buffer, size_t size) override {
    if (at_end_) return 0;
    for (;;) {
      ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) {
        at_end_ = !written_ && static_cast<size_t>(n) < size;
        return static_cast<size_t>(n);
      }
      if (errno != EINTR) throw ErrorFromErrno(errno, path_);
    }
  }

  void Write(const char* data, size_t size) override {
    if (size > 0) wrote_ = true;
    while (size > 0) {
      ssize_t n = OsFault(OsCall::kWrite, path_) ? -1 : ::write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        throw ErrorFromErrno(errno, path_);
      }
      data += n;
      size -= static_cast<size_t>(n);
    }
  }

  // A new file written in one piece with durable writes on: one write that returns once the data
  // is on the disk, and no flush after it.
  void Finish(const char* data, size_t size) override {
    if (!durable_ || wrote_ || fd_ < 0 || size == 0) {
      Write(data, size);
      Close();
      return;
    }
    ssize_t n;
    do {
      n = OsFault(OsCall::kWrite, path_) || OsFault(OsCall::kFlush, path_)
              ? -1
              : WriteDurably(fd_, data, size, -1);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS) {
      int err = errno;
      ::close(fd_);
      fd_ = -1;
      throw ErrorFromErrno(err, path_);
    }
    if (n == static_cast<ssize_t>(size)) {
      int fd = fd_;
      fd_ = -1;
      if (::close(fd) != 0) throw ErrorFromErrno(errno, path_);
      return;
    }
    // Not all of it (or a kernel without the flag): the rest, then the flush of Close().
    const size_t done = n > 0 ? static_cast<size_t>(n) : 0;
    Write(data + done, size - done);
    Close();
  }

  void Close() override {
    int fd = fd_;
    fd_ = -1;
    if (fd < 0) return;
    if (durable_ && (OsFault(OsCall::kFlush, path_) || ::fdatasync(fd) != 0)) {
      int err = errno;
      ::close(fd);
      throw ErrorFromErrno(err, path_);
    }
    if (::close(fd) != 0) throw ErrorFromErrno(errno, path_);
    if (waiting_) waiting_();
  }

 private:
  int fd_;
  std::string path_;
  bool written_;
  bool durable_;
  std::function<void()> waiting_;
  bool wrote_ = false;
  bool at_end_ = false;

 public:
  const std::string& path() const { return path_; }
};

// The lock of a form folder: flock() on a descriptor of the folder itself. The kernel keys it
// on the folder, so every path that reaches it (links, bind mounts, another letter case, two
// database paths sharing one form folder) meets the same lock; it needs only read access to the
// folder, so every user who may write the forms can take it; and it is released when the process
// ends however it ends, so the lock of a dead process never blocks.
//
// The record beside it, the file ".llupdate-lock" in the folder, names the holder, whether its
// run finished, and every file the run made in the folder with that file's identity. It is
// written so that every user who may write the forms can update it (mode and group from the
// folder).
using FolderKey = std::pair<dev_t, ino_t>;

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return text;
}

// Writes text as the whole content of the open file fd.
bool WriteWhole(int fd, const std::string& text) {
  return ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
         ::ftruncate(fd, static_cast<off_t>(text.size())) == 0;
}

// The header of a lock file for this process, its run going on or finished.
std::string LockHeader(bool running) {
  char host[256] = "?";                  // the rest is zeros
  ::gethostname(host, sizeof host - 1);  // so a name cut short still ends in one
  char since[32] = "";
  std::time_t now = std::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  std::strftime(since, sizeof since, "%Y-%m-%d %H:%M:%S", &local);
  return LockRecordHeader(host, std::to_string(::getpid()), std::to_string(::getuid()), since,
                          running);
}

// "Rechner H, Prozess P, seit T" from a lock file's text.
std::string DescribeHolder(const std::string& text) {
  return "Rechner " + LockRecordValue(text, "host") + ", Prozess " + LockRecordValue(text, "pid") +
         ", seit " + LockRecordValue(text, "since");
}

// The refusal of a lock for a reason other than another holder, with what the user can do: the
// remedy given fits a refused write; a full disk or one mounted read-only has its own.
Error CannotLock(const std::string& what, int err, const std::string& remedy) {
  std::string fitting = remedy;
  if (err == ENOSPC
#ifdef EDQUOT
      || err == EDQUOT
#endif
  ) {
    fitting =
        "der Datenträger ist voll (oder das Kontingent dieses Benutzers erschöpft): "
        "schaffen Sie Platz und starten Sie den Lauf erneut";
  } else if (err == EROFS) {
    fitting = "der Datenträger ist schreibgeschützt eingehängt";
  }
  return Error(kPathFileAccessError,
               what + " (" + ErrorDescription(ErrorFromErrno(err, "").number()) + "); " + fitting);
}

// The name under which a record of another account is replaced.
constexpr char kRecordReplacement[] = ".llupdate-lock.new";

// Each account writes what its runs make into a record of its own, ".llupdate-lock." and its uid,
// which no other account may write: the kernel vouches for who wrote it (its owner), so a record
// can only ever lead to acting on its owner's files. The shared ".llupdate-lock" names the holder
// alone.
constexpr char kAccountRecordPrefix[] = ".llupdate-lock.";

std::string AccountRecordName(uid_t uid) { return kAccountRecordPrefix + std::to_string(uid); }

// The uid an account record's name gives, or false for another name. A record is named by its
// uid, or by its uid, "-" and a digit where a file another account planted holds the first name.
bool AccountOfRecord(const std::string& name, uid_t* uid) {
  const size_t prefix = sizeof kAccountRecordPrefix - 1;
  if (name.size() <= prefix || name.compare(0, prefix, kAccountRecordPrefix) != 0) return false;
  size_t end = name.size();
  if (end >= prefix + 3 && name[end - 2] == '-' && name[end - 1] >= '1' && name[end - 1] <= '9') {
    end -= 2;
  }
  if (end == prefix || end > prefix + 10) return false;
  uint64_t value = 0;
  for (size_t i = prefix; i < end; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(name[i] - '0');
  }
  if (value > UINT32_MAX) return false;
  *uid = static_cast<uid_t>(value);
  return true;
}

bool IsRecordName(const std::string& name) {
  uid_t uid;
  return name == kLockFileName || name == kRecordReplacement || AccountOfRecord(name, &uid);
}

class OsWriterLock;

// The locks one file system holds (the files it creates in their folders are recorded there),
// and its choice of durable writes, which they follow too.
struct HeldLocks {
  std::vector<OsWriterLock*> locks;
  unsigned generation = 0;
  std::optional<bool> durable;  // the job's choice; the process-wide default without one
  // Flushes in batches: the new files written and closed whose data is not yet on the disk, by
  // their OS paths.
  bool defer = false;
  std::unordered_set<std::string> waiting;

  bool Durable() const { return durable.value_or(DurableWrites()); }
};

class OsWriterLock : public WriterLock {
 public:
  // shared_fd: the folder's shared record (who holds it); record_fd: this account's own record.
  OsWriterLock(std::shared_ptr<HeldLocks> held, int folder_fd, int shared_fd, int record_fd,
               FolderKey key, LockRecord previous, off_t end)
      : held_(std::move(held)),
        folder_fd_(folder_fd),
        shared_fd_(shared_fd),
        record_fd_(record_fd),
        key_(key),
        previous_(std::move(previous)),
        end_(end) {
    held_->locks.push_back(this);
    ++held_->generation;
  }
  ~OsWriterLock() override {
    auto& locks = held_->locks;
    locks.erase(std::remove(locks.begin(), locks.end(), this), locks.end());
    ++held_->generation;
    for (auto& [mode, files] : unnamed_) CloseUnnamed(mode);
    ::close(record_fd_);
    ::close(shared_fd_);
    ::close(folder_fd_);  // closing releases the lock
  }

  bool previous_run_unfinished() const override { return previous_.running; }
  std::vector<OwnFile> previous_own_files() const override { return previous_.own; }

  // A file of the run's own that could not be removed keeps the run unfinished, so that the next
  // writer resolves it.
  void NoteLeftBehind() { left_behind_ = true; }

  void MarkFinished() override {
    if (left_behind_) return;
    std::string text = LockHeader(false);
    if (!WriteWhole(record_fd_, text)) throw ErrorFromErrno(errno, kLockFileName);
    (void)WriteWhole(shared_fd_, text);  // who held it last: for people, not for healing
    end_ = static_cast<off_t>(text.size());
    finished_ = true;
  }

  const FolderKey& key() const { return key_; }
  // True when this run recorded a file of that name.
  bool Knows(const std::string& name) const { return names_.count(name) > 0; }

  // Records a file the run made (or is about to make) in the folder; with durable writes the
  // record is on the disk before the call returns, so that after a power cut the next run knows
  // the file as this one's.
  void Record(const std::vector<OwnFile>& files) {
    std::string line;
    for (const OwnFile& file : files) {
      line += RecordLine(file);
      if (!file.name.empty()) names_.insert(file.name);
    }
    Append(line);
  }

  std::vector<std::string> restored_in_place() const override { return restored_; }
  std::vector<std::pair<std::string, std::string>> kept_in_place() const override { return kept_; }
  std::vector<std::string> refused_records() const override { return refused_; }
  void SetOutcome(std::vector<std::string> restored,
                  std::vector<std::pair<std::string, std::string>> kept,
                  std::vector<std::string> refused) {
    restored_ = std::move(restored);
    kept_ = std::move(kept);
    refused_ = std::move(refused);
  }

  void Append(const std::string& line) {
    if (finished_) return;
    const ssize_t size = static_cast<ssize_t>(line.size());
    bool written = false;
    if (held_->Durable()) {
      ssize_t n = OsFault(OsCall::kWrite, kLockFileName)
                      ? -1
                      : WriteDurably(record_fd_, line.data(), line.size(), end_);
      written = n == size;
      if (n >= 0 && !written) errno = EIO;
      if (n < 0 && (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS)) {
        written = ::pwrite(record_fd_, line.data(), line.size(), end_) == size &&
                  ::fdatasync(record_fd_) == 0;
      }
    } else {
      written = !OsFault(OsCall::kWrite, kLockFileName) &&
                ::pwrite(record_fd_, line.data(), line.size(), end_) == size;
    }
    if (!written) throw ErrorFromErrno(errno, kLockFileName);
    end_ += static_cast<off_t>(line.size());
  }

  // Unnamed files made in the folder and recorded, not yet named, by mode: a batch is made and
  // recorded at once, so that a job over many forms writes (and flushes) its record once per
  // batch, not once per form. Those left unused vanish with their descriptors: they never had a
  // name.
  struct Unnamed {
    int fd;
    struct stat st;
  };
  std::vector<Unnamed>& unnamed(mode_t mode) { return unnamed_[mode]; }
  // How many to make next: 1, 2, 4 ... up to 32, so that a short job makes few.
  size_t NextBatch() {
    size_t n = batch_;
    batch_ = std::min<size_t>(batch_ * 2, 32);
    return n;
  }
  void CloseUnnamed(mode_t mode) {
    for (const Unnamed& u : unnamed_[mode]) ::close(u.fd);
    unnamed_[mode].clear();
  }
  int folder_fd() const { return folder_fd_; }
  // Notes files recorded without a name: they are the run's under any name they take.
  void NoteUnnamed(const std::vector<OwnFile>& files) {
    for (const OwnFile& f : files) unnamed_identities_.insert(f.identity);
  }
  bool KnowsIdentity(const std::string& identity) const {
    return unnamed_identities_.count(identity) > 0;
  }
  // Names a file of the run takes without a record line of its own (it was recorded unnamed).
  void NoteNames(const std::vector<std::string>& names) {
    names_.insert(names.begin(), names.end());
  }

 private:
  std::shared_ptr<HeldLocks> held_;
  int folder_fd_;
  int shared_fd_;
  int record_fd_;
  FolderKey key_;
  LockRecord previous_;
  off_t end_;
  bool finished_ = false;
  bool left_behind_ = false;
  std::unordered_set<std::string> names_;
  std::vector<std::string> restored_;
  std::vector<std::pair<std::string, std::string>> kept_;
  std::vector<std::string> refused_;
  std::map<mode_t, std::vector<Unnamed>> unnamed_;
  std::unordered_set<std::string> unnamed_identities_;
  size_t batch_ = 1;
};

// The lock of a folder this thread holds already.
class NestedLock : public WriterLock {
 public:
  bool previous_run_unfinished() const override { return false; }
  bool outermost() const override { return false; }
  void MarkFinished() override {}
};

// The mode of a record in a folder: readable by whoever may read the folder, writable by whoever
// may write it.
mode_t RecordMode(mode_t folder) {
  mode_t mode = S_IRUSR | S_IWUSR;
  if (folder & S_IRGRP) mode |= S_IRGRP;
  if (folder & S_IWGRP) mode |= S_IRGRP | S_IWGRP;
  if (folder & S_IROTH) mode |= S_IROTH;
  if (folder & S_IWOTH) mode |= S_IROTH | S_IWOTH;
  return mode;
}

// Gives a record the folder's group and the mode from the folder, as far as this user may.
void ShareRecord(int fd, const struct stat& folder) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_uid != EffectiveUser()) return;
  if (st.st_gid != folder.st_gid) (void)::fchown(fd, static_cast<uid_t>(-1), folder.st_gid);
  mode_t mode = RecordMode(folder.st_mode);
  if ((st.st_mode & 07777) != mode) (void)::fchmod(fd, mode);
}

// Opens the record of a locked folder for writing, creating it or, when this user may not write
// the one there (made by another account), replacing it with a copy this user owns; *text gets
// its content. *created tells that the folder gained an entry.
int OpenRecord(int folder_fd, const struct stat& folder, const std::string& shown,
               std::string* text, bool* created) {
  *created = false;
  int fd = ::openat(folder_fd, kLockFileName, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    *text = ReadAll(fd);
    ShareRecord(fd, folder);
    return fd;
  }
  const std::string record = shown + "/" + kLockFileName;
  if (errno == ENOENT) {
    fd = ::openat(folder_fd, kLockFileName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  RecordMode(folder.st_mode));
    if (fd < 0) {
      throw CannotLock("der Sperrvermerk " + record + " kann nicht angelegt werden", errno,
                       "der Formularordner muss für diesen Benutzer beschreibbar sein");
    }
    ShareRecord(fd, folder);
    text->clear();
    *created = true;
    return fd;
  }
  if (errno != EACCES && errno != EPERM) {
    throw CannotLock("der Sperrvermerk " + record + " kann nicht geöffnet werden", errno,
                     errno == ELOOP ? "er ist ein symbolischer Link: entfernen Sie ihn"
                                    : "prüfen Sie den Formularordner und seinen Datenträger");
  }
  // The record of another account that this one may not write: replaced by one that every user
  // who may write the forms can write. The lock is held, so nobody else writes it meanwhile.
  int old = ::openat(folder_fd, kLockFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (old < 0) {
    throw CannotLock("der Sperrvermerk " + record + " kann nicht gelesen werden", errno,
                     "sein Eigentümer gibt ihn der Gruppe frei (chmod g+rw) oder löscht ihn");
  }
  *text = ReadAll(old);
  ::close(old);
  const char* kNew = kRecordReplacement;
  ::unlinkat(folder_fd, kNew, 0);  // a replacement an earlier run did not finish
  fd = ::openat(folder_fd, kNew, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                RecordMode(folder.st_mode));
  if (fd >= 0) {
    ShareRecord(fd, folder);
    if (::pwrite(fd, text->data(), text->size(), 0) == static_cast<ssize_t>(text->size()) &&
        ::renameat(folder_fd, kNew, folder_fd, kLockFileName) == 0) {
      *created = true;
      return fd;
    }
    int err = errno;
    ::close(fd);
    ::unlinkat(folder_fd, kNew, 0);
    errno = err;
  }
  throw CannotLock(
      "der Sperrvermerk " + record + " eines anderen Benutzers kann nicht ersetzt werden", errno,
      "sein Eigentümer gibt ihn der Gruppe frei (chmod g+rw) oder löscht ihn");
}

// The record of one account's unfinished run, as found in a form folder.
struct AccountRecord {
  uid_t uid;
  LockRecord record;
  std::string name;  // its name in the folder
};

// The records of unfinished runs in the folder dfd, each trusted only as far as the kernel vouches
// for it: a regular file, owned by the account its name gives, writable by nobody else, holding
// plain names only. Each own file is tagged with that account. *refused gets the others that
// claim an unfinished run, each with why.
std::vector<AccountRecord> ReadAccountRecords(int dfd, const std::string& shown,
                                              std::vector<std::string>* refused) {
  std::vector<AccountRecord> records;
  // A descriptor of its own, so that the listing starts at the beginning every time.
  int list_fd = ::openat(dfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = list_fd < 0 ? nullptr : ::fdopendir(list_fd);
  if (dir == nullptr) {
    if (list_fd >= 0) ::close(list_fd);
    return records;
  }
  while (dirent* e = ::readdir(dir)) {
    uid_t uid;
    const std::string name = e->d_name;
    if (!AccountOfRecord(name, &uid)) continue;
    const std::string where = shown + "/" + name;
    int fd = ::openat(dfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ELOOP) refused->push_back(where + " (ein symbolischer Link)");
      continue;
    }
    struct stat st;
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    // A record lists what runs made: one of many megabytes is none of the program's.
    constexpr off_t kLargestRecord = off_t{64} << 20;
    const bool fits = regular && st.st_size <= kLargestRecord;
    LockRecord record = ParseLockRecord(fits ? ReadAll(fd) : "");
    ::close(fd);
    if (!fits) {
      refused->push_back(where + (regular ? " (zu groß)" : " (keine Datei)"));
      continue;
    }
    if (!record.running && record.invalid.empty()) continue;  // a finished run left nothing
    std::string why = record.invalid;
    if (st.st_uid != uid) {
      why =
          "er gehört dem Benutzer " + std::to_string(st.st_uid) + ", nicht " + std::to_string(uid);
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      why = "andere Benutzer dürfen ihn schreiben";
    }
    if (!why.empty()) {
      refused->push_back(where + " (" + why + ")");
      continue;
    }
    for (OwnFile& own : record.own) own.owner = std::to_string(uid);
    records.push_back({uid, std::move(record), name});
  }
  ::closedir(dir);
  std::sort(records.begin(), records.end(),
            [](const AccountRecord& a, const AccountRecord& b) { return a.uid < b.uid; });
  return records;
}

// Opens this account's record in a locked folder for writing, creating it when it is missing and
// replacing a file of its name that is not this account's own (planted there, or a link).
// *created tells that the folder gained an entry.
int OpenAccountRecord(int dfd, const struct stat& folder, const std::string& shown, bool* created,
                      std::string* name) {
  // Readable as the shared record is, writable by this account alone.
  const mode_t mode = RecordMode(folder.st_mode) & ~static_cast<mode_t>(S_IWGRP | S_IWOTH);
  const std::string base = AccountRecordName(EffectiveUser());
  int err = EEXIST;
  for (int spare = 0; spare <= 9; ++spare) {
    *name = spare == 0 ? base : base + "-" + std::to_string(spare);
    const std::string where = shown + "/" + *name;
    for (int attempt = 0; attempt < 3; ++attempt) {
      int fd = OsFault(OsCall::kOpen, *name)
                   ? -1
                   : ::openat(dfd, name->c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd >= 0) {
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == EffectiveUser()) {
          if ((st.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0) {
            err = errno;
            ::close(fd);
            throw CannotLock("der Sperrvermerk " + where + " kann nicht geschützt werden", err,
                             "prüfen Sie den Formularordner und seinen Datenträger");
          }
          return fd;
        }
        ::close(fd);
      } else if (errno == ENOENT) {
        fd = ::openat(dfd, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
          *created = true;
          return fd;
        }
        if (errno == EEXIST) continue;
        throw CannotLock("der Sperrvermerk " + where + " kann nicht angelegt werden", errno,
                         "der Formularordner muss für diesen Benutzer beschreibbar sein");
      }
      // A file under this account's record name that is not its record: it goes, or, where this
      // account may not remove it (a sticky folder), the record takes the next name.
      if (::unlinkat(dfd, name->c_str(), 0) != 0 && errno != ENOENT) {
        err = errno;
        break;
      }
      *created = true;
    }
  }
  throw CannotLock("der Sperrvermerk " + shown + "/" + base + " gehört nicht diesem Benutzer", err,
                   "entfernen Sie ihn");
}

// What the next writer would do with an interrupted in-place rewrite, found without changing
// anything: "" when it would give the form its old content back, else why not. *ours is false
// when the record's backup is gone or not its account's (then nothing is done at all).
std::string InPlaceVerdict(int dfd, const AccountRecord& r, const InPlaceRewrite& ip, bool* ours);

// An open descriptor, closed when it goes.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

}  // namespace

LockPeek PeekWriterLock(const std::string& folder) {
  LockPeek peek;
  std::string os_folder = ResolvePath(folder);
  int dfd = ::open(os_folder.empty() ? "." : os_folder.c_str(),
                   O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (dfd < 0) return peek;
  Fd folder_fd(dfd);
  int fd = ::openat(dfd, kLockFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    peek.text = ReadAll(fd);
    ::close(fd);
  }
  peek.held = ::flock(dfd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  std::vector<AccountRecord> records =
      ReadAccountRecords(dfd, os_folder.empty() ? "." : os_folder, &peek.refused);
  peek.unfinished = !peek.held && !records.empty();
  if (!peek.unfinished) return peek;
  for (AccountRecord& r : records) {
    for (const InPlaceRewrite& ip : r.record.in_place) {
      bool ours = false;
      std::string why = InPlaceVerdict(dfd, r, ip, &ours);
      if (ours) peek.in_place.push_back({ip.form, ip.backup, why});
    }
    for (OwnFile& own : r.record.own) peek.own.push_back(std::move(own));
  }
  return peek;
}

Error DatabaseBusyError(const std::string& folder, const std::string& lock_text) {
  return Error(kPermissionDenied, "die Datenbank mit dem Formularordner " + folder +
                                      " wird von einem anderen Lauf bearbeitet (" +
                                      DescribeHolder(lock_text) + ")");
}

namespace {

// Copies the content of one open file to another: in the kernel where it can, else through a
// buffer.
void CopyContent(int in, int out, OsFile& reader, OsFile& writer, size_t size) {
  size_t done = 0;
  while (done < size) {
    if (OsFault(OsCall::kCopy, writer.path())) throw ErrorFromErrno(errno, writer.path());
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size - done, 0);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  char buffer[1 << 16];
  while (size_t n = reader.Read(buffer, sizeof buffer)) writer.Write(buffer, n);
}

// True when the symbolic link at os_path leads to a place inside the real folder that holds it
// (for a form, the real form folder, whatever links lead to that folder): a link that leads out
// of it, also into another database's form folder, is never followed, so that no read or change
// reaches a file outside the folders an operation was given.
bool LinkStaysInside(const std::string& os_path) {
  const std::string folder = SplitPath(os_path).first;
  char* real_folder = ::realpath(folder.empty() ? "." : folder.c_str(), nullptr);
  char* target = ::realpath(os_path.c_str(), nullptr);
  bool inside = false;
  if (real_folder != nullptr && target != nullptr) {
    std::string scope = real_folder;
    if (scope != "/") scope += "/";
    inside = std::string(target).compare(0, scope.size(), scope) == 0;
  }
  std::free(real_folder);
  std::free(target);
  return inside;
}

// The refusal of a link that leads out of the folders.
Error LinkOutError(const std::string& os_path) {
  return Error(kPathFileAccessError,
               os_path + " (ein symbolischer Link, der aus seinem Ordner hinausführt)");
}

// Opens a file for reading without changing its access time where the owner may ask for that:
// reading a form is no change of it, and an access time to record is work for every later flush.
// A symbolic link is followed only where it stays inside (LinkStaysInside); one that leads out
// fails with ELOOP.
int OpenForReading(const std::string& os_path) {
  static std::atomic<bool> no_atime{true};
  for (int follow = 0; follow < 2; ++follow) {
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW);
    int fd = -1;
    if (no_atime.load(std::memory_order_relaxed)) {
      fd = ::open(os_path.c_str(), flags | O_NOATIME);
      if (fd < 0 && errno == EPERM) {
        no_atime.store(false, std::memory_order_relaxed);  // not the owner: never asked again
        fd = ::open(os_path.c_str(), flags);
      }
    } else {
      fd = ::open(os_path.c_str(), flags);
    }
    if (fd >= 0 || errno != ELOOP || follow) return fd;
    struct stat st;
    if (::stat(os_path.c_str(), &st) != 0) return -1;  // a dangling link names nothing
    if (!LinkStaysInside(os_path)) {
      errno = ELOOP;
      return -1;
    }
  }
  return -1;
}

bool StatPath(const std::string& os_path, struct stat* st) {
  return ::stat(os_path.c_str(), st) == 0;
}

bool IsReadOnlyMode(mode_t mode) { return (mode & S_IWUSR) == 0; }

// The entries of an OS folder, read directly (for error messages only).
std::vector<std::string> NamesIn(const std::string& os_folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(os_folder.empty() ? "." : os_folder.c_str())) {
    while (dirent* e = ::readdir(d)) names.push_back(e->d_name);
    ::closedir(d);
  }
  return names;
}

// The file a missing path was meant to name, as it is on the disk: a name with blanks at its
// ends is asked for without them, and a name that holds "\" is taken for a folder and a name.
// Empty when the folder has no such name.
std::string MeantFile(const std::string& os_path, std::string* why) {
  std::string folder = os_path, rest;
  for (;;) {
    auto [parent, name] = SplitPath(folder);
    rest = rest.empty() ? name : name + "\\" + rest;
    folder = parent;
    struct stat st;
    if (folder.empty() || (StatPath(folder, &st) && S_ISDIR(st.st_mode))) break;
  }
  const std::string wanted = text::FoldCase(rest);
  for (const std::string& name : NamesIn(folder)) {
    if (text::FoldCase(text::TrimSpaces(name)) != wanted) continue;
    *why = name.find('\\') != std::string::npos ? "der Name enthält \"\\\""
                                                : "der Name beginnt oder endet mit Leerzeichen";
    return (folder.empty() ? "" : folder + "/") + name;
  }
  return "";
}

// The error for a path that does not exist: "path not found" when its directory is missing too.
// It names the path as it is on the disk (folders in their real spelling) and, where the folder
// holds a name that cannot be asked for as it stands, that name and why.
Error MissingError(const std::string& os_path, const std::string&) {
  std::string why, meant = MeantFile(os_path, &why);
  std::string shown = meant.empty() ? os_path : meant + " (" + why + ")";
  size_t slash = os_path.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    struct stat st;
    if (!StatPath(os_path.substr(0, slash), &st) || !S_ISDIR(st.st_mode)) {
      return Error(kPathNotFound, shown);
    }
  }
  return Error(kFileNotFound, shown);
}

// Copies the open file in (shown as source, with the status src) into the new file partial,
// with its mode and times set through the open file and, with durable writes, on the disk before
// it is closed. Removes the partial file when anything fails.
// With folder_mode the copy keeps the bits it was created with (what the folder gives a new file:
// the umask, a default ACL), read-only only when the source is; otherwise it takes the source's.
bool CopyExtendedAttributes(const std::string& from, int fd, const std::string& shown,
                            int from_fd = -1);

void CopyToNewFile(OsFile& reader, int in, const struct stat& src, const std::string& partial,
                   const std::string& destination, const std::function<int(struct stat*)>& create,
                   bool durable, bool folder_mode = false) {
  // The new file is private until it has what keeps the source private (CreateOwnFile).
  struct stat given;
  int out = create(&given);
  if (out < 0) {
    // A new file fails to be made with ENOENT only when its folder is missing.
    throw errno == ENOENT ? Error(kPathNotFound, destination) : ErrorFromErrno(errno, destination);
  }
  try {
    OsFile writer(out, destination, true, durable);
    CopyContent(in, out, reader, writer, static_cast<size_t>(src.st_size));
    mode_t mode;
    if (folder_mode) {
      // What the folder gives a new file, but no read access the source does not give.
      mode = given.st_mode & 07777 & (src.st_mode | 07733);
      if (IsReadOnlyMode(src.st_mode)) mode &= ~static_cast<mode_t>(0222);
    } else {
      // The source's bits, with its group and ACL; where this user cannot give them, the group
      // (or everybody but the owner) has no access at all.
      mode = src.st_mode & 07777;
      if (given.st_gid != src.st_gid && ::fchown(out, static_cast<uid_t>(-1), src.st_gid) != 0) {
        mode &= ~static_cast<mode_t>(070);
      }
      try {
        CopyExtendedAttributes("", out, destination, in);
      } catch (const Error&) {
        mode &= 07700;
      }
    }
    if (OsFault(OsCall::kOwner, destination) || ::fchmod(out, mode) != 0) {
      throw ErrorFromErrno(errno, destination);
    }
    struct timespec times[2] = {src.st_atim, src.st_mtim};
    if (::futimens(out, times) != 0) throw ErrorFromErrno(errno, destination);
    writer.Close();
  } catch (...) {
    ::unlink(partial.c_str());
    throw;
  }
}

// Writes the whole content of the open file in over the open file out, from its start, cuts out
// to that length and, with durable writes, puts it on the disk. out keeps its inode: its other
// names, owner, bits and attributes.
void Overwrite(int in, int out, const std::string& shown, bool durable) {
  if (::lseek(in, 0, SEEK_SET) < 0) throw ErrorFromErrno(errno, shown);
  char buffer[1 << 16];
  off_t at = 0;
  for (;;) {
    ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ErrorFromErrno(errno, shown);
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = OsFault(OsCall::kWrite, shown) ? -1 : ::pwrite(out, buffer + done, n - done, at);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) throw ErrorFromErrno(errno, shown);
      done += w;
      at += w;
    }
  }
  if (OsFault(OsCall::kWrite, shown) || ::ftruncate(out, at) != 0) {
    throw ErrorFromErrno(errno, shown);
  }
  if (durable && (OsFault(OsCall::kFlush, shown) || ::fdatasync(out) != 0)) {
    throw ErrorFromErrno(errno, shown);
  }
}

// Writes the backup's content over the open form, with the backup's times (those of the old
// content: the backup was made with them).
void GiveOldContentBack(int backup_fd, int form_fd, const std::string& shown, bool durable) {
  Overwrite(backup_fd, form_fd, shown, durable);
  struct stat st;
  if (::fstat(backup_fd, &st) == 0) {
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    (void)::futimens(form_fd, times);
  }
}

// True when the account uid may write the file st describes by its permission bits (its owner
// may always make it so): what a run of that account could have changed.
bool MayWrite(uid_t uid, const struct stat& st) {
  if (uid == 0 || st.st_uid == uid || (st.st_mode & S_IWOTH) != 0) return true;
  if ((st.st_mode & S_IWGRP) == 0) return false;
  struct passwd pw, *found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  if (pw.pw_gid == st.st_gid) return true;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<size_t>(count));
  return std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
}

// True when the file st describes is one the record names as its account's own.
bool RecordedAsOwn(const AccountRecord& r, const std::string& name, const struct stat& st) {
  if (!S_ISREG(st.st_mode) || st.st_uid != r.uid) return false;
  const std::string now = ContentIdentity(st);
  for (const OwnFile& own : r.record.own) {
    if ((own.name == name || own.name.empty()) && IdentityMatches(now, own.identity)) return true;
  }
  return false;
}

// What the lock does with the forms that unfinished runs were rewriting in place.
struct InPlaceOutcome {
  std::vector<std::string> restored;
  std::vector<std::pair<std::string, std::string>> kept;  // form, its old content's name
  std::vector<std::string> kept_copies;  // identities of the copies kept: no longer to be removed

  bool Keeps(const OwnFile& own) const {
    for (const std::string& identity : kept_copies) {
      if (IdentityMatches(identity, own.identity)) return true;
    }
    return false;
  }
};

// Why the form of an interrupted in-place rewrite must not get the backup's content back, ""
// when it may: it is the same file, the run's account could write it, and it holds what that
// run could have left (its backup and its new content tell). form is open for reading and
// writing.
std::string WhyNotRestored(int dfd, const AccountRecord& r, const InPlaceRewrite& ip, int form,
                           int backup) {
  struct stat st;
  if (::fstat(form, &st) != 0 || !S_ISREG(st.st_mode) || ip.identity.empty() ||
      FileOnlyIdentity(st) != ip.identity) {
    return "es ist nicht mehr dieselbe Datei";
  }
  if (!MayWrite(r.uid, st)) return "der unterbrochene Lauf durfte es nicht schreiben";
  const std::string now = ReadAll(form), old_content = ReadAll(backup);
  if (now == old_content) return "";
  Fd source(ip.source.empty()
                ? -1
                : ::openat(dfd, ip.source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat src;
  if (source.fd < 0 || ::fstat(source.fd, &src) != 0 || !RecordedAsOwn(r, ip.source, src)) {
    return "sein Zustand lässt sich nicht mehr prüfen";
  }
  if (!CouldBeLeftByRewrite(now, old_content, ReadAll(source.fd))) {
    return "es wurde seitdem geändert";
  }
  return "";
}

std::string InPlaceVerdict(int dfd, const AccountRecord& r, const InPlaceRewrite& ip, bool* ours) {
  Fd backup(::openat(dfd, ip.backup.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat b;
  *ours = backup.fd >= 0 && ::fstat(backup.fd, &b) == 0 && RecordedAsOwn(r, ip.backup, b);
  if (!*ours) return "";
  Fd form(::openat(dfd, ip.form.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (form.fd < 0) return "es fehlt";
  return WhyNotRestored(dfd, r, ip, form.fd, backup.fd);
}

// Resolves the in-place rewrites that the trusted records of unfinished runs name: a form gets
// its old content back from its backup, in place, where that is safe; otherwise both stay, the
// backup under a name no heal removes.
InPlaceOutcome ResolveInPlace(int dfd, const std::string& shown,
                              const std::vector<AccountRecord>& records, bool durable) {
  InPlaceOutcome outcome;
  for (const AccountRecord& r : records) {
    for (const InPlaceRewrite& ip : r.record.in_place) {
      Fd backup(::openat(dfd, ip.backup.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      struct stat b;
      // Finished (the backup went when the form was whole), or no backup of the run's own.
      if (backup.fd < 0 || ::fstat(backup.fd, &b) != 0 || !RecordedAsOwn(r, ip.backup, b)) continue;
      Fd form(::openat(dfd, ip.form.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      std::string why = form.fd < 0 ? "es fehlt oder ist nicht beschreibbar"
                                    : WhyNotRestored(dfd, r, ip, form.fd, backup.fd);
      if (why.empty()) {
        try {
          GiveOldContentBack(backup.fd, form.fd, shown + "/" + ip.form, durable);
          if (::unlinkat(dfd, ip.backup.c_str(), 0) != 0) {
            throw ErrorFromErrno(errno, shown + "/" + ip.backup);
          }
        } catch (const Error& e) {
          throw CannotLock("das Formular " + shown + "/" + ip.form +
                               " kann seinen alten Inhalt nicht zurückbekommen (" +
                               e.description() + ")",
                           EIO, "sein alter Inhalt steht in " + shown + "/" + ip.backup);
        }
        outcome.restored.push_back(ip.form);
        continue;
      }
      // Both versions stay: the old content under a name of its own that says what it is.
      char stamp[32] = "";
      std::time_t now = std::time(nullptr);
      struct tm local;
      ::localtime_r(&now, &local);
      std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
      std::string kept = ip.form + ".llupdate-alt-" + stamp + ".tmp";
      if (::renameat2(dfd, ip.backup.c_str(), dfd, kept.c_str(), RENAME_NOREPLACE) != 0) {
        kept = ip.backup;
      }
      outcome.kept.emplace_back(ip.form, kept + " (" + why + ")");
      outcome.kept_copies.push_back(ContentIdentity(b));
    }
  }
  return outcome;
}

// Copies the extended attributes of the file at from (the ACL among them) to the open file fd,
// and removes those fd has that from has not (a default ACL the new file inherited). Throws when
// one cannot be set: a form must not lose its ACL, which may be all that keeps it private. True
// when fd's attributes changed.
// from_fd, when given, is an open descriptor of from, read instead of the path.
bool CopyExtendedAttributes(const std::string& from, int fd, const std::string& shown,
                            int from_fd) {
  auto names = [](ssize_t size, auto&& list) {
    std::vector<std::string> result;
    if (size <= 0) return result;
    std::string buffer(static_cast<size_t>(size), '\0');
    size = list(buffer.data(), buffer.size());
    for (size_t at = 0; size > 0 && at < static_cast<size_t>(size);) {
      std::string name = buffer.c_str() + at;
      at += name.size() + 1;
      if (!name.empty()) result.push_back(name);
    }
    return result;
  };
  auto list_from = [&](char* b, size_t n) {
    return from_fd >= 0 ? ::flistxattr(from_fd, b, n) : ::llistxattr(from.c_str(), b, n);
  };
  auto get_from = [&](const std::string& name, void* b, size_t n) {
    return from_fd >= 0 ? ::fgetxattr(from_fd, name.c_str(), b, n)
                        : ::lgetxattr(from.c_str(), name.c_str(), b, n);
  };
  std::vector<std::string> wanted = names(list_from(nullptr, 0), list_from);
  std::vector<std::string> present = names(
      ::flistxattr(fd, nullptr, 0), [&](char* b, size_t n) { return ::flistxattr(fd, b, n); });
  bool changed = false;
  for (const std::string& name : present) {
    if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) continue;
    if ((OsFault(OsCall::kAttributes, shown) || ::fremovexattr(fd, name.c_str()) != 0) &&
        errno != ENODATA) {
      throw ErrorFromErrno(errno, shown + " (" + name + ")");
    }
    changed = true;
  }
  for (const std::string& name : wanted) {
    ssize_t size = get_from(name, nullptr, 0);
    if (size < 0) continue;  // gone meanwhile
    std::string value(static_cast<size_t>(size), '\0');
    size = get_from(name, value.data(), value.size());
    if (size < 0) continue;
    value.resize(static_cast<size_t>(size));
    if (OsFault(OsCall::kAttributes, shown) ||
        ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
      throw ErrorFromErrno(errno, shown + " (" + name + ")");
    }
    changed = true;
  }
  return changed;
}

// Gives the new file at path what the form it replaces (old, at old_path) has: its owner and
// group as far as this user may give them, its extended attributes and ACL, and its permission
// bits but for the read-only attribute, which a rewrite removes. False when the owner or group
// could not be given: then the new file must not take the form's place.
//
// created, when known, is the new file as it was created (no other attribute than the folder gave
// it, none when the folder has no default ACL): then a form that has nothing else costs one call.
bool CarryMetadata(const std::string& path, const struct stat& old, const std::string& old_path,
                   const struct stat* created = nullptr) {
  if (created != nullptr && created->st_uid == old.st_uid && created->st_gid == old.st_gid &&
      (created->st_mode & 07777) == ((old.st_mode & 07777) | S_IWUSR) &&
      ::llistxattr(old_path.c_str(), nullptr, 0) == 0) {
    // The new file was kept private while it was written: it takes the form's bits now.
    if (OsFault(OsCall::kOwner, path) || ::chmod(path.c_str(), (old.st_mode & 07777) | S_IWUSR)) {
      throw ErrorFromErrno(errno, path);
    }
    return true;
  }
  int fd =
      OsFault(OsCall::kOpen, path) ? -1 : ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw ErrorFromErrno(errno, path);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat now;
  if (::fstat(fd, &now) != 0) throw ErrorFromErrno(errno, path);
  bool kept = true;
  if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
      (OsFault(OsCall::kOwner, path) || ::fchown(fd, old.st_uid, old.st_gid) != 0)) {
    kept = false;
    if (now.st_gid != old.st_gid) {
      (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);  // at least the group, if ours
    }
  }
  const bool changed = CopyExtendedAttributes(old_path, fd, path);
  // After the ACL: its mask is the group bits.
  const mode_t mode = (old.st_mode & 07777) | S_IWUSR;
  if ((changed || (now.st_mode & 07777) != mode) &&
      (OsFault(OsCall::kOwner, path) || ::fchmod(fd, mode) != 0)) {
    throw ErrorFromErrno(errno, path);
  }
  return kept;
}

// True when a new file put in place of this form could not carry what it has: other names (hard
// links) that would keep the old content, or an owner this user cannot give a file to.
// user: the user this process acts as.
bool NeedsRewriteInPlace(const struct stat& form, int second_names, uid_t user) {
  return form.st_nlink - second_names > 1 || (user != 0 && form.st_uid != user);
}

class OsFileSystem : public FileSystem, public FolderLocks {
 public:
  void BeginJob() override {
    if (!paths_.in_job()) job_user_ = EffectiveUser();
    paths_.BeginJob();
  }
  void UseDurableWrites(bool on) override { held_->durable = on; }
  bool DeferFlushes(bool on) override {
    held_->defer = on;
    return true;
  }
  // One flush for each file system the waiting files are on: the kernel writes them together.
  void FlushWritten() override {
    if (held_->waiting.empty()) return;
    if (!held_->Durable()) {
      held_->waiting.clear();
      return;
    }
    std::set<std::string> folders;
    for (const std::string& os_path : held_->waiting) folders.insert(SplitPath(os_path).first);
    std::vector<dev_t> flushed;
    for (const std::string& folder : folders) {
      int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) continue;  // gone with its folder: nothing of it can replace a form
      struct stat st;
      if (::fstat(fd, &st) != 0 ||
          std::find(flushed.begin(), flushed.end(), st.st_dev) != flushed.end()) {
        ::close(fd);
        continue;
      }
      int result = OsFault(OsCall::kFlush, folder) ? -1 : ::syncfs(fd);
      int err = errno;
      ::close(fd);
      if (result != 0) throw ErrorFromErrno(err, folder.empty() ? "." : folder);
      flushed.push_back(st.st_dev);
    }
    held_->waiting.clear();
  }
  void EndJob() override {
    paths_.EndJob();
    if (!paths_.in_job()) {
      default_acl_.clear();
      created_.clear();
      linked_forms_.clear();
      modes_.clear();
      held_->waiting.clear();
    }
  }

  bool FileExists(const std::string& path) override {
    PathResolver::Resolved r = paths_.Resolve(path);
    if (r.listed && !r.found) return false;
    if (r.listed && r.type == EntryType::kFile) return true;
    if (r.listed && (r.type == EntryType::kDirectory || r.type == EntryType::kOther)) return false;
    struct stat st;
    if (StatPath(r.os_path, &st)) return S_ISREG(st.st_mode);
    return ::lstat(r.os_path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);  // a dangling link
  }

  bool FolderExists(const std::string& path) override {
    PathResolver::Resolved r = paths_.Resolve(path);
    if (r.listed && !r.found) return false;
    if (r.listed && r.type == EntryType::kDirectory) return true;
    struct stat st;
    return StatPath(r.os_path, &st) && S_ISDIR(st.st_mode);
  }

  void CreateFolder(const std::string& path) override {
    std::string os_path = paths_.Resolve(path).os_path;
    while (os_path.size() > 1 && os_path.back() == '/') os_path.pop_back();
    if (::mkdir(os_path.c_str(), 0777) != 0) {
      if (errno == ENOENT) throw Error(kPathNotFound, path);
      throw ErrorFromErrno(errno, path);
    }
    paths_.NoteCreated(os_path, EntryType::kDirectory);
  }

  void CopyFile(const std::string& source, const std::string& destination,
                bool overwrite) override {
    PathResolver::Resolved from = paths_.Resolve(source);
    int in = Retry(source, from, [](const std::string& p) { return OpenForReading(p); });
    if (in < 0) {
      if (errno == ENOENT || errno == ENOTDIR) throw MissingError(from.os_path, source);
      if (errno == ELOOP) throw LinkOutError(from.os_path);
      throw ErrorFromErrno(errno, source);
    }
    OsFile reader(in, source);
    struct stat src, dst;
    if (::fstat(in, &src) != 0) throw ErrorFromErrno(errno, source);
    if (!S_ISREG(src.st_mode)) throw Error(kFileNotFound, source);
    PathResolver::Resolved to = paths_.Resolve(destination);
    Changed(to.os_path);
    bool replaces = false;
    if (!(to.listed && !to.found) && ::lstat(to.os_path.c_str(), &dst) == 0) {
      replaces = S_ISREG(dst.st_mode);
      if (S_ISDIR(dst.st_mode)) throw Error(kPermissionDenied, destination);
      if (!overwrite) throw Error(kFileAlreadyExists, destination);
      if (S_ISREG(dst.st_mode) && IsReadOnlyMode(dst.st_mode)) {
        throw Error(kPermissionDenied, destination);
      }
      if (dst.st_dev == src.st_dev && dst.st_ino == src.st_ino) {
        throw Error(kPermissionDenied, destination);  // a file cannot be copied onto itself
      }
    }
    // The copy is written to a new partial file beside the destination and renamed into place,
    // so that a failed copy never leaves a half-written destination behind and a link planted
    // at the destination is replaced, never written through.
    std::string partial = PartialFileName(to.os_path);
    // The partial file and the name it will take are the run's own from the start.
    // A form copied in from another folder (a delivery) gets what this folder gives a new file;
    // a copy beside its form (a backup) keeps the form's bits, so that it is never open to more
    // people; one that replaces an installed form keeps what that form had (below).
    const bool new_here = !replaces && SplitPath(from.os_path).first != SplitPath(to.os_path).first;
    CopyToNewFile(
        reader, in, src, partial, destination,
        [&](struct stat* given) {
          return CreateOwnFile(partial, {partial, to.os_path}, new_here ? 0666 : 0600, given);
          // (a new form's bits are what the folder gives; it is private until it is complete)
        },
        held_->Durable(), new_here);
    // A copy over an installed form keeps what the form had (owner, group, bits, ACL); where a
    // new file cannot carry it (other names, an owner this user cannot give a file to), the
    // copy is written into the form itself, behind a backup.
    if (replaces) {
      bool in_place = false;
      try {
        in_place = NeedsRewriteInPlace(dst, 0, User()) || !CarryMetadata(partial, dst, to.os_path);
      } catch (...) {
        ::unlink(partial.c_str());
        throw;
      }
      if (in_place) {
        try {
          ReplaceInPlace(partial, to.os_path, dst, destination);
        } catch (...) {
          ::unlink(partial.c_str());
          throw;
        }
        return;
      }
    }
    if (OsFault(OsCall::kRename, to.os_path) ||
        ::rename(partial.c_str(), to.os_path.c_str()) != 0) {
      int err = errno;
      ::unlink(partial.c_str());
      throw ErrorFromErrno(err, destination);
    }
    paths_.NoteCreated(to.os_path, EntryType::kFile);
  }

  bool LinkFile(const std::string& existing, const std::string& new_name) override {
    PathResolver::Resolved from = paths_.Resolve(existing);
    std::string to = paths_.Resolve(new_name).os_path;
    Changed(to);
    int result = Retry(existing, from, [&](const std::string& p) {
      if (OsFault(OsCall::kLink, to)) return -1;
      // The second name is not recorded: it is the run's while it names the form's content or
      // the form is the run's temporary file (see the leftovers' rules).
      // A form that is a link inside the folders gets a second name of the file it leads to.
      struct stat st;
      if (::lstat(p.c_str(), &st) != 0) return -1;
      const bool link = S_ISLNK(st.st_mode) && LinkStaysInside(p) && ::stat(p.c_str(), &st) == 0;
      // A form that will be rewritten in place needs a copy: a second name would change with it.
      if (S_ISREG(st.st_mode) && NeedsRewriteInPlace(st, 0, User())) {
        errno = EMLINK;
        return -1;
      }
      int linked =
          ::linkat(AT_FDCWD, p.c_str(), AT_FDCWD, to.c_str(), link ? AT_SYMLINK_FOLLOW : 0);
      if (linked == 0) {
        second_names_[to] = FolderKey{st.st_dev, st.st_ino};
        if (!link) linked_forms_[p] = {to, st};
      }
      return linked;
    });
    if (result == 0) {
      paths_.NoteCreated(to, EntryType::kFile);
      return true;
    }
    int err = errno;
    if (err == EEXIST) throw Error(kFileAlreadyExists, new_name);
    if (err == ENOENT) throw MissingError(from.os_path, existing);
    if (err != EPERM && err != EXDEV && err != ENOTSUP && err != EOPNOTSUPP && err != EMLINK) {
      throw ErrorFromErrno(err, new_name);
    }
    // No links here: a copy with the same content and times, put in place under a new name.
    int in = OpenForReading(from.os_path);
    if (in < 0) throw ErrorFromErrno(errno, existing);
    OsFile reader(in, existing);
    struct stat src;
    if (::fstat(in, &src) != 0) throw ErrorFromErrno(errno, existing);
    std::string partial = PartialFileName(to);
    CopyToNewFile(
        reader, in, src, partial, new_name,
        [&](struct stat* given) {
          return CreateOwnFile(partial, {partial, to}, 0600, given);
        },
        held_->Durable());
    if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
      err = errno;
      ::unlink(partial.c_str());
      throw err == EEXIST ? Error(kFileAlreadyExists, new_name) : ErrorFromErrno(err, new_name);
    }
    paths_.NoteCreated(to, EntryType::kFile);
    return true;
  }

  bool ReplaceFile(const std::string& source, const std::string& destination) override {
    PathResolver::Resolved from = paths_.Resolve(source);
    std::string to = paths_.Resolve(destination).os_path;
    Changed(from.os_path);
    Changed(to);
    // A form that is a symbolic link to a file inside the folders is replaced at its target and
    // stays a link; one that leads out is left as it is.
    std::string target = to;
    struct stat old;
    // The form as LinkFile saw it just before it gave it its backup's name (that name is not
    // one of the form's own), or as it is now.
    int second = -1;
    bool replaces;
    auto linked = linked_forms_.find(to);
    if (linked != linked_forms_.end() && second_names_.count(linked->second.backup) > 0) {
      old = linked->second.st;
      replaces = true;
      second = 0;
    } else {
      replaces = ::lstat(to.c_str(), &old) == 0;
    }
    if (linked != linked_forms_.end()) linked_forms_.erase(linked);
    if (replaces && S_ISLNK(old.st_mode)) {
      if (!LinkStaysInside(to)) throw LinkOutError(to);
      if (char* real = ::realpath(to.c_str(), nullptr)) {
        target = real;
        std::free(real);
      }
      replaces = ::stat(target.c_str(), &old) == 0;
    }
    // A file waiting for the batch's flush takes the place of another only with its data on the
    // disk, unless that one is waiting as well: then both are this run's new files, and there is
    // nothing of the destination's to carry over (it stays private, as it was made).
    const bool both_waiting = held_->waiting.count(to) > 0;
    if (both_waiting) {
      auto made = created_.find(from.os_path);
      if (made != created_.end()) {
        const struct stat given = made->second;
        created_.erase(made);
        created_[to] = given;
      }
    } else if (replaces && S_ISREG(old.st_mode)) {
      if (second < 0) {
        second = 0;
        for (const auto& [name, key] : second_names_) {
          if (key == FolderKey{old.st_dev, old.st_ino}) ++second;
        }
      }
      auto made = created_.find(from.os_path);
      const struct stat* created =
          made != created_.end() && !FolderHasDefaultAcl(SplitPath(target).first) ? &made->second
                                                                                  : nullptr;
      const bool in_place = NeedsRewriteInPlace(old, second, User()) ||
                            !CarryMetadata(from.os_path, old, target, created);
      if (made != created_.end()) created_.erase(made);
      if (in_place) {
        ReplaceInPlace(from.os_path, target, old, destination);
        held_->waiting.erase(from.os_path);
        paths_.NoteRemoved(from.os_path);
        return true;
      }
    }
    if (!both_waiting) {
      FlushIfWaiting(from.os_path, source);
      GiveFolderBits(from.os_path);
    }
    if (Retry(source, from, [&](const std::string& p) {
          if (OsFault(OsCall::kRename, to)) return -1;
          KeepOwnName(p, to);
          return ::rename(p.c_str(), target.c_str());
        }) != 0) {
      if (errno == ENOENT) throw MissingError(from.os_path, source);
      throw ErrorFromErrno(errno, destination);
    }
    if (held_->waiting.erase(from.os_path) > 0) held_->waiting.insert(to);
    paths_.NoteRemoved(from.os_path);
    if (target == to) paths_.NoteCreated(to, EntryType::kFile);
    return true;
  }

  // Puts a file that waits for the batch's flush on the disk now.
  void FlushIfWaiting(const std::string& os_path, const std::string& shown) {
    if (held_->waiting.count(os_path) == 0) return;
    if (held_->Durable()) {
      int fd = ::open(os_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) throw ErrorFromErrno(errno, shown);
      int result = OsFault(OsCall::kFlush, os_path) ? -1 : ::fdatasync(fd);
      int err = errno;
      ::close(fd);
      if (result != 0) throw ErrorFromErrno(err, shown);
    }
    held_->waiting.erase(os_path);
  }

  void SyncFolder(const std::string& path) override {
    if (!held_->Durable()) return;
    std::string os_path = paths_.Resolve(path).os_path;
    int fd = ::open(os_path.empty() ? "." : os_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw ErrorFromErrno(errno, path);
    int result = OsFault(OsCall::kSyncFolder, os_path) ? -1 : ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (result != 0) throw ErrorFromErrno(err, path);
  }

  std::unique_ptr<WriterLock> LockFormFolder(const std::string& folder,
                                             double wait_seconds) override {
    std::string os_folder = paths_.Resolve(folder).os_path;
    while (os_folder.size() > 1 && os_folder.back() == '/') os_folder.pop_back();
    const std::string shown = os_folder.empty() ? "." : os_folder;
    int dfd = OsFault(OsCall::kOpen, shown)
                  ? -1
                  : ::open(shown.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return nullptr;  // no forms to protect
      throw CannotLock("der Formularordner " + shown + " kann nicht gesperrt werden", errno,
                       "dieser Benutzer braucht Lesezugriff auf den Formularordner");
    }
    struct stat st;
    if (::fstat(dfd, &st) != 0) {
      int err = errno;
      ::close(dfd);
      throw CannotLock("der Formularordner " + shown + " kann nicht gesperrt werden", err,
                       "prüfen Sie den Formularordner");
    }
    const FolderKey key{st.st_dev, st.st_ino};
    // A nested call of the job (perhaps through another path) runs inside the outer one: this
    // file system holds the folder already.
    for (const OsWriterLock* held : held_->locks) {
      if (held->key() == key) {
        ::close(dfd);
        return std::make_unique<NestedLock>();
      }
    }
    // A run that only looks (status, a preview) holds the lock shared for an instant: a writer
    // tries a little while before it calls the folder held.
    const double wait = std::max(wait_seconds, 0.2);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<int64_t>(wait * 1000));
    while (OsFault(OsCall::kLock, shown) || ::flock(dfd, LOCK_EX | LOCK_NB) != 0) {
      int err = errno;
      if (err == EINTR) continue;
      if (err != EWOULDBLOCK) {
        ::close(dfd);
        throw CannotLock("der Formularordner " + shown + " kann nicht gesperrt werden", err,
                         "der Datenträger muss Sperren unterstützen");
      }
      // A stop request ends the wait as its end would: nothing is done.
      if (std::chrono::steady_clock::now() >= deadline || llupdate::StopRequested()) {
        // A holder writes its name just after it took the lock: give it a moment.
        std::string text;
        for (int i = 0; i < 20; ++i) {
          int fd = ::openat(dfd, kLockFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
          if (fd >= 0) {
            text = ReadAll(fd);
            ::close(fd);
          }
          if (ParseLockRecord(text).running) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::close(dfd);
        throw DatabaseBusyError(shown, text);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int rfd = -1, afd = -1;
    try {
      std::string before;
      bool created = false;
      rfd = OpenRecord(dfd, st, shown, &before, &created);
      // What unfinished runs recorded, each account's record trusted for that account's files
      // alone. A form one of them was rewriting in place may be torn: it gets its old content
      // back from the backup that run made, before anything else happens, where that is safe.
      std::vector<std::string> refused;
      std::vector<AccountRecord> records = ReadAccountRecords(dfd, shown, &refused);
      InPlaceOutcome outcome = ResolveInPlace(dfd, shown, records, held_->Durable());
      LockRecord previous;
      // What this account's previous run recorded stays in its record until this run finishes,
      // so that a crash before its heal leaves it known. Another account's lines are never
      // copied into it: that would make its files this account's.
      std::string mine;
      for (AccountRecord& r : records) {
        previous.running = true;
        for (OwnFile& own : r.record.own) {
          if (outcome.Keeps(own)) continue;
          if (r.uid == EffectiveUser()) mine += RecordLine(own);
          previous.own.push_back(std::move(own));
        }
      }
      bool account_created = false;
      std::string account_name;
      afd = OpenAccountRecord(dfd, st, shown, &account_created, &account_name);
      const std::string header = LockHeader(true);
      const std::string text = header + mine;
      if (OsFault(OsCall::kWrite, shown + "/" + kLockFileName) || !WriteWhole(rfd, header) ||
          !WriteWhole(afd, text)) {
        const int err = errno;
        // A record this run made and could not fill goes again: an empty one tells nobody
        // anything.
        if (created) (void)::unlinkat(dfd, kLockFileName, 0);
        if (account_created) (void)::unlinkat(dfd, account_name.c_str(), 0);
        errno = err;
        throw CannotLock(
            "der Sperrvermerk " + shown + "/" + kLockFileName + " kann nicht geschrieben werden",
            errno, "der Formularordner muss beschreibbar sein");
      }
      // The mark must be on the disk before any form is touched, so that after a power cut the
      // next run knows to look for what this one left.
      if (held_->Durable() && ::fdatasync(afd) != 0) throw ErrorFromErrno(errno, kLockFileName);
      if ((created || account_created) && held_->Durable() && ::fsync(dfd) != 0) {
        throw ErrorFromErrno(errno, shown);
      }
      // This account's records under other names (taken while a planted file held its name) are
      // carried into the one it writes now, and go once that one is on the disk.
      for (const AccountRecord& r : records) {
        if (r.uid == EffectiveUser() && r.name != account_name) {
          (void)::unlinkat(dfd, r.name.c_str(), 0);
        }
      }
      auto lock = std::make_unique<OsWriterLock>(held_, dfd, rfd, afd, key, std::move(previous),
                                                 static_cast<off_t>(text.size()));
      lock->SetOutcome(std::move(outcome.restored), std::move(outcome.kept), std::move(refused));
      return lock;
    } catch (...) {
      if (afd >= 0) ::close(afd);
      if (rfd >= 0) ::close(rfd);
      ::close(dfd);
      throw;
    }
  }

  std::string FileIdentity(const std::string& path) override {
    struct stat st;
    if (::lstat(paths_.Resolve(path).os_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      return "";
    }
    return ContentIdentity(st);
  }

  std::string FileOwner(const std::string& path) override {
    struct stat st;
    if (::lstat(paths_.Resolve(path).os_path.c_str(), &st) != 0) return "";
    return std::to_string(st.st_uid);
  }

  void RemoveFolder(const std::string& path) override {
    PathResolver::Resolved r = paths_.Resolve(path);
    Changed(r.os_path);
    if (::rmdir(r.os_path.c_str()) != 0) throw ErrorFromErrno(errno, path);
    paths_.NoteRemoved(r.os_path);
  }

  void SetAccess(const std::string& path, Access access) override {
    const std::string os_path = paths_.Resolve(path).os_path;
    struct stat st, folder;
    if (::lstat(os_path.c_str(), &st) != 0) throw MissingError(os_path, path);
    if (::stat(SplitPath(os_path).first.c_str(), &folder) != 0) throw ErrorFromErrno(errno, path);
    const bool dir = S_ISDIR(st.st_mode);
    mode_t mode = folder.st_mode & (dir ? 07777 : 0666);
    if (access == Access::kOwnerWrites) {
      // Only the owner writes: an ACL inherited from the folder would let others in again.
      for (const char* acl : {"system.posix_acl_access", "system.posix_acl_default"}) {
        if (::lremovexattr(os_path.c_str(), acl) != 0 && errno != ENODATA && errno != ENOTSUP) {
          throw ErrorFromErrno(errno, path);
        }
      }
      mode = (mode & (dir ? 02755 : 0644)) | (dir ? S_IRWXU : S_IRUSR | S_IWUSR);
    }
    if ((st.st_mode & 07777) != mode && ::chmod(os_path.c_str(), mode) != 0) {
      throw ErrorFromErrno(errno, path);
    }
  }

  bool OthersMayWrite(const std::string& path) override {
    struct stat st;
    // With an ACL, the group bits are its mask: no write there, no named entry writes either.
    return ::lstat(paths_.Resolve(path).os_path.c_str(), &st) != 0 || S_ISLNK(st.st_mode) ||
           (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  }

  bool MayReplace(const std::string& path, const std::string& account) override {
    const std::string os_path = paths_.Resolve(path).os_path;
    struct stat file, folder;
    const std::string parent = SplitPath(os_path).first;
    if (::lstat(os_path.c_str(), &file) != 0 ||
        ::stat(parent.empty() ? "." : parent.c_str(), &folder) != 0) {
      return false;
    }
    char* end = nullptr;
    const unsigned long uid = std::strtoul(account.c_str(), &end, 10);
    if (account.empty() || *end != '\0') return false;
    if (uid == 0) return true;
    if (!platform::MayWrite(static_cast<uid_t>(uid), folder)) return false;
    return (folder.st_mode & S_ISVTX) == 0 || file.st_uid == uid || folder.st_uid == uid;
  }
  bool MayWrite(const std::string& path, const std::string& account) override {
    struct stat st;
    if (::stat(paths_.Resolve(path).os_path.c_str(), &st) != 0) return false;
    char* end = nullptr;
    const unsigned long uid = std::strtoul(account.c_str(), &end, 10);
    if (account.empty() || *end != '\0') return false;
    return platform::MayWrite(static_cast<uid_t>(uid), st);
  }

  std::string ShownPath(const std::string& path) override { return paths_.Resolve(path).os_path; }
  std::string RealPath(const std::string& path) override {
    char* real = ::realpath(ResolvePath(path).c_str(), nullptr);
    if (real == nullptr) return "";
    std::string result = real;
    std::free(real);
    return result;
  }
  LockPeek PeekFormFolderLock(const std::string& folder) override { return PeekWriterLock(folder); }
  EntryKind KindOf(const std::string& path) override {
    struct stat st;
    if (::lstat(paths_.Resolve(path).os_path.c_str(), &st) != 0) return EntryKind::kNone;
    if (S_ISLNK(st.st_mode)) return EntryKind::kLink;
    if (S_ISREG(st.st_mode)) return EntryKind::kFile;
    return S_ISDIR(st.st_mode) ? EntryKind::kFolder : EntryKind::kOther;
  }

  void MoveFile(const std::string& source, const std::string& destination) override {
    PathResolver::Resolved from = paths_.Resolve(source);
    std::string to = paths_.Resolve(destination).os_path;
    Changed(from.os_path);
    Changed(to);
    FlushIfWaiting(from.os_path, source);
    GiveFolderBits(from.os_path);
    int result = Retry(source, from, [&](const std::string& p) {
      if (OsFault(OsCall::kNoReplace, to)) return -1;
      return ::renameat2(AT_FDCWD, p.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    });
    if (result != 0 && errno == EINVAL) {  // a file system without the flag
      struct stat st;
      if (::lstat(to.c_str(), &st) == 0) throw Error(kFileAlreadyExists, destination);
      result = ::rename(from.os_path.c_str(), to.c_str());
    }
    if (result != 0) {
      if (errno == EEXIST) throw Error(kFileAlreadyExists, destination);
      if (errno == ENOENT) throw MissingError(from.os_path, source);
      throw ErrorFromErrno(errno, destination);
    }
    paths_.NoteRemoved(from.os_path);
    paths_.NoteCreated(to, from.type == EntryType::kUnknown ? EntryType::kFile : from.type);
  }

  void DeleteFile(const std::string& path, bool force) override {
    PathResolver::Resolved r = paths_.Resolve(path);
    Changed(r.os_path);
    if (!force) {
      // Only a read-only file needs its mode known first.
      struct stat st;
      if (::lstat(r.os_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
          IsReadOnlyMode(st.st_mode)) {
        throw Error(kPermissionDenied, path);
      }
    }
    if (r.listed && r.found && r.type == EntryType::kDirectory) {
      throw MissingError(r.os_path, path);
    }
    // A symbolic link is removed itself, never what it points to.
    if (Retry(path, r, [](const std::string& p) {
          return OsFault(OsCall::kUnlink, p) ? -1 : ::unlink(p.c_str());
        }) != 0) {
      if (errno == ENOENT || errno == EISDIR || errno == ENOTDIR) {
        throw MissingError(r.os_path, path);
      }
      throw ErrorFromErrno(errno, path);
    }
    paths_.NoteRemoved(r.os_path);
    second_names_.erase(r.os_path);
    created_.erase(r.os_path);
    held_->waiting.erase(r.os_path);
  }

  std::vector<FileEntry> ListFiles(const std::string& folder) override {
    std::string os_path = paths_.Resolve(folder).os_path;
    std::vector<PathResolver::Entry> entries;
    if (!paths_.Entries(os_path, &entries)) {
      if (errno == ENOENT || errno == ENOTDIR) throw Error(kPathNotFound, folder);
      throw ErrorFromErrno(errno, folder);
    }
    std::vector<FileEntry> files;
    for (const PathResolver::Entry& e : entries) {
      // The lock's record is the program's bookkeeping, not a file of the folder's.
      if (e.type != EntryType::kFile || IsRecordName(e.name)) continue;
      std::string name = ComponentName(e.name);
      files.push_back({name, folder + "\\" + name});
    }
    std::sort(files.begin(), files.end(), [](const FileEntry& a, const FileEntry& b) {
      return text::NameLess(a.name, b.name);
    });
    return files;
  }

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    PathResolver::Resolved r = paths_.Resolve(path);
    if (mode != OpenMode::kRead) Changed(r.os_path);
    int fd;
    bool existed = false;
    if (mode == OpenMode::kRead) {
      bool directory = r.listed ? r.found && r.type == EntryType::kDirectory : IsDirectory(r);
      if (directory) throw Error(kPathFileAccessError, path);
      fd = Retry(path, r, [](const std::string& p) { return OpenForReading(p); });
      if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) throw MissingError(r.os_path, path);
      if (fd < 0 && errno == ELOOP) throw LinkOutError(r.os_path);
      // A pipe or a device is no form: opened without waiting, and refused unless the listing
      // already said it is a regular file.
      struct stat st;
      if (fd >= 0 && !(r.listed && r.found && r.type == EntryType::kFile) &&
          (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        throw Error(kPathFileAccessError, r.os_path + " (keine Datei)");
      }
    } else if (mode == OpenMode::kCreateNew) {
      struct stat given;
      fd = CreateOwnFile(r.os_path, {r.os_path}, 0666, &given);
      if (fd < 0 && errno == EEXIST) throw Error(kFileAlreadyExists, path);
      if (fd < 0 && errno == ENOENT) throw Error(kPathNotFound, path);
      if (fd >= 0) {
        paths_.NoteCreated(r.os_path, EntryType::kFile);
        // Private while it is written: it takes its form's bits, or those the folder gave it,
        // when it is put in place (ReplaceFile, MoveFile).
        created_[r.os_path] = given;
      }
    } else {
      struct stat st;
      bool exists = StatPath(r.os_path, &st);
      existed = exists;
      if (exists && S_ISDIR(st.st_mode)) throw Error(kPathFileAccessError, path);
      if (exists && IsReadOnlyMode(st.st_mode)) throw Error(kPermissionDenied, path);
      // Never written through a symbolic link: what this program writes is its own file.
      fd = ::open(r.os_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd < 0 && errno == ENOENT) throw Error(kPathNotFound, path);
      if (fd >= 0 && !exists) paths_.NoteCreated(r.os_path, EntryType::kFile);
    }
    if (fd < 0) throw ErrorFromErrno(errno, path);
    // A new file (or one still waiting) may wait for the batch's flush; a file that was there
    // before is put on the disk when it is closed.
    std::function<void()> waiting;
    if (held_->defer && mode != OpenMode::kRead &&
        (mode == OpenMode::kCreateNew || !existed || held_->waiting.count(r.os_path) > 0)) {
      waiting = [held = held_, os_path = r.os_path] { held->waiting.insert(os_path); };
    } else if (mode != OpenMode::kRead) {
      held_->waiting.erase(r.os_path);
    }
    return std::make_unique<OsFile>(fd, path, mode != OpenMode::kRead, held_->Durable(),
                                    std::move(waiting));
  }

  std::unique_ptr<InPlaceFile> OpenInPlace(const std::string& path, bool write,
                                           bool create) override {
    PathResolver::Resolved r = paths_.Resolve(path);
    if (write) Changed(r.os_path);
    std::unique_ptr<InPlaceFile> file =
        OpenOsInPlaceFile(r.os_path, write, create, held_->Durable());
    if (create && !r.found) paths_.NoteCreated(r.os_path, EntryType::kFile);
    return file;
  }

  uint32_t GetAttributes(const std::string& path) override {
    std::string os_path = paths_.Resolve(path).os_path;
    mode_t mode;
    auto known = modes_.find(os_path);
    if (known != modes_.end()) {
      mode = known->second;
    } else {
      // One look at the name; a link is followed.
      struct stat st;
      const bool found = ::lstat(os_path.c_str(), &st) == 0;
      const bool link = found && S_ISLNK(st.st_mode);
      if (!found || (link && !StatPath(os_path, &st))) throw MissingError(os_path, path);
      mode = st.st_mode;
      if (!link && paths_.in_job()) modes_[os_path] = mode;
    }
    uint32_t attributes = kAttrNormal;
    if (S_ISDIR(mode)) attributes |= kAttrDirectory;
    if (IsReadOnlyMode(mode)) attributes |= kAttrReadOnly;
    return attributes;
  }

  void SetAttributes(const std::string& path, uint32_t attributes) override {
    std::string os_path = paths_.Resolve(path).os_path;
    struct stat st;
    auto known = modes_.find(os_path);
    if (known != modes_.end()) {
      st.st_mode = known->second;  // a file this job looked at, no link (NoteMode)
    } else {
      const bool found = ::lstat(os_path.c_str(), &st) == 0;
      if (found && S_ISLNK(st.st_mode) && !LinkStaysInside(os_path)) throw LinkOutError(os_path);
      // A link inside the folders has the attributes of what it leads to.
      if (!found || (S_ISLNK(st.st_mode) && !StatPath(os_path, &st))) {
        throw MissingError(os_path, path);
      }
    }
    mode_t mode = st.st_mode & 07777;
    if (attributes & kAttrReadOnly) {
      mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    } else {
      mode |= S_IWUSR;
    }
    if (mode != (st.st_mode & 07777)) {
      modes_.erase(os_path);
      if (::chmod(os_path.c_str(), mode) != 0) throw ErrorFromErrno(errno, path);
    }
  }

  // The user this process acts as: asked once per job (a host may change it between calls).
  uid_t User() const { return paths_.in_job() ? job_user_ : EffectiveUser(); }

  // Forgets what the job knew of a name this file system changes.
  void Changed(const std::string& os_path) { modes_.erase(os_path); }

 private:
  static bool IsDirectory(const PathResolver::Resolved& r) {
    struct stat st;
    return StatPath(r.os_path, &st) && S_ISDIR(st.st_mode);
  }

  // Runs op on the resolved path. When it fails because the name is missing and the name came
  // from the job's kept listing, another program changed the folder: it is read again, and op
  // runs once more if the name now resolves elsewhere. op returns a negative result with errno
  // set on failure.
  template <class Op>
  int Retry(const std::string& path, PathResolver::Resolved& r, Op op) {
    int result = op(r.os_path);
    if (result >= 0 || errno != ENOENT || !paths_.in_job()) return result;
    paths_.Forget(r.os_path);
    modes_.clear();
    PathResolver::Resolved again = paths_.Resolve(path);
    if (again.os_path == r.os_path) {
      errno = ENOENT;
      return result;
    }
    r = again;
    return op(r.os_path);
  }

  // The lock held on the folder of an OS path, if any (asked once per folder and set of locks).
  OsWriterLock* LockOf(const std::string& os_path) {
    if (held_->locks.empty()) return nullptr;
    if (lock_cache_generation_ != held_->generation) {
      lock_cache_.clear();
      lock_cache_generation_ = held_->generation;
    }
    std::string folder = SplitPath(os_path).first;
    auto it = lock_cache_.find(folder);
    if (it != lock_cache_.end()) return it->second;
    OsWriterLock* found = nullptr;
    struct stat st;
    if (::stat(folder.empty() ? "." : folder.c_str(), &st) == 0) {
      for (OsWriterLock* lock : held_->locks) {
        if (lock->key() == FolderKey{st.st_dev, st.st_ino}) found = lock;
      }
    }
    return lock_cache_[folder] = found;
  }

  // Records a file this file system made (or is about to make) under a held lock.
  // Creates the new file os_path for writing: never through a link, failing with EEXIST when
  // the name is taken. It is readable by this user alone until its content is complete (no copy
  // of a private form is ever open to more people): *given gets the file as the folder gave it
  // (the bits that mode, the umask or a default ACL left), which it takes when it is put in
  // place of no form. Under a held lock the names (os_path and the names it will take, in one
  // folder) are recorded as the run's own with the file's identity before the name exists (an
  // unnamed file is made, recorded, then named), so that a kill at any instant leaves no file of
  // the run that its record does not know. A file system without unnamed files gets the name
  // first and the record right after.
  int CreateOwnFile(const std::string& os_path, const std::vector<std::string>& names, mode_t mode,
                    struct stat* given) {
    OsWriterLock* lock = LockOf(os_path);
    if (lock != nullptr && unnamed_files_) {
      int fd = TakeUnnamed(*lock, mode, given);  // already recorded
      if (fd >= 0 && !MakePrivate(fd, *given, os_path)) {
        int err = errno;
        ::close(fd);
        errno = err;
        return -1;
      }
      if (fd >= 0) lock->NoteNames(names);
      if (fd >= 0) {
        std::string proc = "/proc/self/fd/" + std::to_string(fd);
        if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, os_path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
          return fd;
        }
        int err = errno;
        ::close(fd);
        struct stat st;
        if (err == EEXIST || ::stat("/proc/self/fd", &st) == 0) {
          errno = err;
          return -1;
        }
        unnamed_files_ = false;  // no /proc to name it through
      } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        unnamed_files_ = false;  // asked once per file system object
      } else {
        return -1;
      }
    }
    // Without unnamed files the new file has its name, empty, for the instant until it is made
    // private.
    int fd = ::open(os_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    try {
      if (::fstat(fd, given) != 0 || !MakePrivate(fd, *given, os_path)) {
        throw ErrorFromErrno(errno, os_path);
      }
      RecordOwn(names, FileOnlyIdentity(*given));
    } catch (...) {
      ::close(fd);
      ::unlink(os_path.c_str());
      throw;
    }
    return fd;
  }

  // Makes the new file fd, as created (st), readable and writable by this user alone.
  static bool MakePrivate(int fd, const struct stat& st, const std::string& os_path) {
    if ((st.st_mode & 077) == 0) return true;
    return !OsFault(OsCall::kPrivate, os_path) && ::fchmod(fd, st.st_mode & 07700) == 0;
  }

  // An unnamed new file of the given mode in the folder of the lock, recorded there as the run's
  // before the call returns; -1 with errno set when none can be made.
  int TakeUnnamed(OsWriterLock& lock, mode_t mode, struct stat* made) {
    std::vector<OsWriterLock::Unnamed>& ready = lock.unnamed(mode);
    if (ready.empty()) {
      std::vector<OwnFile> files;
      for (size_t i = 0, n = lock.NextBatch(); i < n; ++i) {
        int fd = OsFault(OsCall::kUnnamed, "")
                     ? -1
                     : ::openat(lock.folder_fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) != 0) {
          int err = errno;
          ::close(fd);
          fd = -1;
          errno = err;
        }
        if (fd < 0) {
          if (ready.empty()) return -1;
          break;
        }
        ready.push_back({fd, st});
        files.push_back({"", FileOnlyIdentity(st), ""});
      }
      try {
        lock.Record(files);
      } catch (...) {
        lock.CloseUnnamed(mode);
        throw;
      }
      lock.NoteUnnamed(files);
    }
    const OsWriterLock::Unnamed next = ready.back();
    ready.pop_back();
    if (made != nullptr) *made = next.st;
    return next.fd;
  }

  // Puts the content of the new file source into the form target itself, so that the form keeps
  // its inode: its other names, its owner, bits and attributes. The old content is first copied
  // to a backup of the run's own, on the disk before the record says that the form is being
  // rewritten; a failure puts the old content back, and after a crash the next writer does (see
  // LockFormFolder). The form is old or new at the end, never torn; source is gone.
  void ReplaceInPlace(const std::string& source, const std::string& target, const struct stat& old,
                      const std::string& shown) {
    OsWriterLock* lock = LockOf(target);
    if (lock == nullptr) {
      throw Error(kPermissionDenied, shown +
                                         " (kann nur an Ort und Stelle umgeschrieben werden, "
                                         "was außerhalb des gesperrten Formularordners "
                                         "nicht geschieht)");
    }
    const std::string backup = PartialFileName(target);
    {
      int in = OsFault(OsCall::kOpen, target)
                   ? -1
                   : ::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (in < 0) throw ErrorFromErrno(errno, shown);
      OsFile reader(in, shown);
      CopyToNewFile(
          reader, in, old, backup, backup,
          [&](struct stat* given) { return CreateOwnFile(backup, {backup}, 0600, given); },
          held_->Durable());
    }
    // Until the form is touched, a failure only takes the backup away again.
    auto give_up = [&](int err) {
      ::unlink(backup.c_str());
      throw ErrorFromErrno(err, shown);
    };
    try {
      lock->Append(InPlaceLine({SplitPath(target).second, SplitPath(backup).second,
                                SplitPath(source).second, FileOnlyIdentity(old)}));
    } catch (...) {
      ::unlink(backup.c_str());
      throw;
    }
    // The read-only attribute is not carried over a rewrite.
    if ((old.st_mode & S_IWUSR) == 0 && old.st_uid == EffectiveUser()) {
      (void)::chmod(target.c_str(), (old.st_mode & 07777) | S_IWUSR);
    }
    Fd in(OsFault(OsCall::kOpen, source)
              ? -1
              : ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.fd < 0) give_up(errno);
    Fd out(OsFault(OsCall::kOpen, target)
               ? -1
               : ::open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (out.fd < 0) give_up(errno);
    try {
      Overwrite(in.fd, out.fd, shown, held_->Durable());
    } catch (...) {
      // The form gets its old content back at once; if even that fails, the backup and the
      // record stay for the next writer.
      try {
        Fd saved(OsFault(OsCall::kOpen, backup)
                     ? -1
                     : ::open(backup.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (saved.fd < 0) throw ErrorFromErrno(errno, shown);
        GiveOldContentBack(saved.fd, out.fd, shown, held_->Durable());
        if (::unlink(backup.c_str()) != 0) lock->NoteLeftBehind();
      } catch (...) {
        lock->NoteLeftBehind();
      }
      if (::unlink(source.c_str()) != 0) lock->NoteLeftBehind();
      throw;
    }
    if (::unlink(backup.c_str()) != 0) lock->NoteLeftBehind();
    if (::unlink(source.c_str()) != 0) lock->NoteLeftBehind();
  }

  // A new file kept private while it was written takes, when it is put in place of no form, the
  // bits the folder gave it when it was created.
  void GiveFolderBits(const std::string& os_path) {
    auto made = created_.find(os_path);
    if (made == created_.end()) return;
    const mode_t mode = made->second.st_mode & 07777;
    created_.erase(made);
    if (OsFault(OsCall::kOwner, os_path) || ::chmod(os_path.c_str(), mode) != 0) {
      throw ErrorFromErrno(errno, os_path);
    }
  }

  // A file of the run's own that a rename puts under another of its names (a temporary file
  // saved anew) is recorded under that name before the rename, so that it stays known.
  void KeepOwnName(const std::string& from, const std::string& to) {
    OsWriterLock* lock = LockOf(to);
    if (lock == nullptr || !lock->Knows(SplitPath(to).second)) return;
    struct stat st;
    // A file recorded without a name is the run's under any name already.
    if (::lstat(from.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        !lock->KnowsIdentity(FileOnlyIdentity(st))) {
      RecordOwn({to}, FileOnlyIdentity(st));
    }
  }

  // The paths are in one folder.
  void RecordOwn(const std::vector<std::string>& os_paths, const std::string& identity) {
    OsWriterLock* lock = LockOf(os_paths.front());
    if (lock == nullptr) return;
    std::vector<OwnFile> files;
    for (const std::string& p : os_paths) files.push_back({SplitPath(p).second, identity, ""});
    lock->Record(files);
  }
  // Whether new files in the folder get an ACL from it (asked once per folder and job).
  bool FolderHasDefaultAcl(const std::string& folder) {
    auto it = default_acl_.find(folder);
    if (it != default_acl_.end()) return it->second;
    const char* f = folder.empty() ? "." : folder.c_str();
    bool has = ::lgetxattr(f, "system.posix_acl_default", nullptr, 0) >= 0 || errno == ERANGE;
    return default_acl_[folder] = has;
  }

  PathResolver paths_;
  std::shared_ptr<HeldLocks> held_ = std::make_shared<HeldLocks>();
  std::unordered_map<std::string, OsWriterLock*> lock_cache_;
  unsigned lock_cache_generation_ = 0;
  bool unnamed_files_ = true;
  // Second names (hard links) this file system gave forms, by path: they do not count as the
  // form's own other names.
  std::unordered_map<std::string, FolderKey> second_names_;
  // The forms that LinkFile gave a backup's name and that are not yet replaced, by path, as
  // they were just before.
  struct LinkedForm {
    std::string backup;
    struct stat st;
  };
  std::unordered_map<std::string, LinkedForm> linked_forms_;
  // The modes of the names (no links) whose attributes this job read, so that they are read once;
  // forgotten when this file system changes the name. (A link's mode is that of what it leads to,
  // which may change by another name: it is asked each time.)
  std::unordered_map<std::string, mode_t> modes_;
  uid_t job_user_ = 0;
  // New files this file system created in locked folders, as they were created.
  std::unordered_map<std::string, struct stat> created_;
  std::unordered_map<std::string, bool> default_acl_;
};

}  // namespace

Who WhoRuns() {
  char host[256] = "?";
  ::gethostname(host, sizeof host - 1);
  const uid_t uid = EffectiveUser();
  std::string user = std::to_string(uid);
  struct passwd pw, *found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    user = pw.pw_name;
  }
  return {user, std::to_string(uid), host, std::to_string(::getpid())};
}

}  // namespace llupdate::platform

std::shared_ptr<llupdate::FileSystem> llupdate::NewOsFileSystem() {
  return std::make_shared<platform::OsFileSystem>();
}
