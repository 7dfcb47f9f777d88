// The file-system object on Windows, over the wide-character file API. Names compare without
// regard to case there natively, and read-only is the file attribute.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "llupdate/call.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "text/text.h"
#include "win_strings.h"

namespace llupdate::windows {
namespace {

using platform::Error;

Error LastError(const std::string& path) {
  switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
      return Error(platform::kFileNotFound, path);
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return Error(platform::kPathNotFound, path);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return Error(platform::kPermissionDenied, path);
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return Error(platform::kFileAlreadyExists, path);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return Error(platform::kDiskFull, path);
    case ERROR_TOO_MANY_OPEN_FILES:
      return Error(platform::kTooManyFiles, path);
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return Error(platform::kOutOfMemory, path);
    default:
      return Error(platform::kPathFileAccessError, path);
  }
}

// The path in the form that lifts the limit of 260 characters ("\\?\C:\..." or
// "\\?\UNC\server\share\..."), made whole first, as that form is taken literally; a path
// that has no such form is given as it is.
std::wstring SysPath(const std::string& path) {
  std::wstring wide = Wide(path);
  if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  size = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (size == 0 || size >= full.size()) return wide;
  full.resize(size);
  while (full.size() > 3 && full.back() == L'\\') full.pop_back();
  if (full.size() > 2 && full[0] == L'\\' && full[1] == L'\\' && full[2] != L'?' &&
      full[2] != L'.') {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  if (full.size() > 2 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
  return wide;
}

DWORD Attributes(const std::string& path) { return GetFileAttributesW(SysPath(path).c_str()); }

// A point where the server writes: in the build the tests register, the environment variable
// LLUPDATE_TEST_FAULT makes the process die at the N-th such point ("kill:N", as a host killed
// there) or that point fail as on a full disk ("fail:N"); "count:FILE" writes the number of
// points reached to FILE. Elsewhere nothing happens.
#ifdef LLUPDATE_WINDOWS_FAULTS
void FaultPoint(const std::string& path) {
  static long seen = 0;
  static std::wstring setting;
  static bool read = false;
  if (!read) {
    read = true;
    wchar_t value[1024];
    DWORD n = GetEnvironmentVariableW(L"LLUPDATE_TEST_FAULT", value, 1024);
    if (n > 0 && n < 1024) setting.assign(value, n);
  }
  if (setting.size() < 6) return;
  ++seen;
  if (setting.compare(0, 6, L"count:") == 0) {
    HANDLE f = CreateFileW(setting.c_str() + 6, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    std::string text = std::to_string(seen);
    DWORD written = 0;
    WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(f);
    return;
  }
  if (seen != std::wcstol(setting.c_str() + 5, nullptr, 10)) return;
  if (setting.compare(0, 5, L"kill:") == 0) TerminateProcess(GetCurrentProcess(), 9);
  if (setting.compare(0, 5, L"fail:") == 0) {
    SetLastError(ERROR_DISK_FULL);
    throw LastError(path);
  }
}
#else
void FaultPoint(const std::string&) {}
#endif

class WinFile : public platform::File {
 public:
  // A file opened for writing is put on the disk when it is closed if durable is set.
  WinFile(HANDLE handle, std::string path, bool written = false, bool durable = false)
      : handle_(handle), path_(std::move(path)), written_(written && durable) {}
  ~WinFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  size_t Read(char* buffer, size_t size) override {
    DWORD read = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(std::min<size_t>(size, 1 << 30)), &read,
                  nullptr)) {
      throw LastError(path_);
    }
    return read;
  }
  void Write(const char* data, size_t size) override {
    FaultPoint(path_);
    while (size > 0) {
      DWORD written = 0;
      if (!WriteFile(handle_, data, static_cast<DWORD>(std::min<size_t>(size, 1 << 30)), &written,
                     nullptr)) {
        throw LastError(path_);
      }
      data += written;
      size -= written;
    }
  }
  void Close() override {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE) return;
    if (written_) {
      try {
        FaultPoint(path_);
      } catch (...) {
        CloseHandle(handle);
        throw;
      }
    }
    if (written_ && !FlushFileBuffers(handle)) {
      Error error = LastError(path_);
      CloseHandle(handle);
      throw error;
    }
    if (!CloseHandle(handle)) throw LastError(path_);
  }

 private:
  HANDLE handle_;
  std::string path_;
  bool written_;  // and to be put on the disk
};

// The lock file of a database, locked with LockFileEx on a byte range far past its text; Windows
// releases the lock when the process ends however it ends.
constexpr DWORD kLockOffset = 0x7FFFFFF0;

std::string ReadLockText(HANDLE handle) {
  std::string text;
  char buffer[4096];
  for (DWORD offset = 0; offset < (DWORD{64} << 20);) {
    OVERLAPPED at = {};
    at.Offset = offset;
    DWORD read = 0;
    if (!ReadFile(handle, buffer, sizeof buffer, &read, &at) || read == 0) break;
    text.append(buffer, read);
    offset += read;
  }
  return text;
}

void WriteLockText(HANDLE handle, const std::string& text) {
  OVERLAPPED at = {};
  DWORD written = 0;
  SetFilePointer(handle, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(handle);
  if (!WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, &at)) {
    throw LastError(platform::kLockFileName);
  }
}

constexpr const char* kRunning = platform::kRecordRunning;
constexpr const char* kFinished = platform::kRecordFinished;

// What identifies a file: the volume's serial number and the file's index ("volume:index"),
// shared by its hard links, and with content its size and time of last writing.
std::string IdentityOf(HANDLE handle, bool content) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "";
  }
  auto wide = [](DWORD high, DWORD low) { return (uint64_t{high} << 32) | low; };
  std::string id = std::to_string(info.dwVolumeSerialNumber) + ":" +
                   std::to_string(wide(info.nFileIndexHigh, info.nFileIndexLow));
  if (content) {
    id += ":" + std::to_string(wide(info.nFileSizeHigh, info.nFileSizeLow)) + ":" +
          std::to_string(
              wide(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
  }
  return id;
}

// The lock of a form folder, and the record of the run that holds it: its header, then a line for
// every file the run makes beside the forms, written before the file has its name where that can
// be, so that the next run resolves what a killed run left.
class WinWriterLock : public platform::WriterLock {
 public:
  WinWriterLock(HANDLE handle, std::wstring folder, platform::LockRecord previous, bool writable,
                std::string header, bool durable)
      : handle_(handle),
        folder_(std::move(folder)),
        previous_(std::move(previous)),
        writable_(writable),
        header_(std::move(header)),
        durable_(durable) {}
  ~WinWriterLock() override {
    OVERLAPPED at = {};
    at.Offset = kLockOffset;
    UnlockFileEx(handle_, 0, 1, 0, &at);
    CloseHandle(handle_);
  }
  bool previous_run_unfinished() const override { return previous_.running; }
  std::vector<platform::OwnFile> previous_own_files() const override { return previous_.own; }
  std::vector<std::string> refused_records() const override {
    if (previous_.invalid.empty()) return {};
    return {std::string(platform::kLockFileName) + " (" + previous_.invalid + ")"};
  }
  const std::wstring& folder() const { return folder_; }

  // Starts the record of this run: the header, and what the unfinished run before recorded,
  // which stays known until this run finishes.
  void Begin() {
    if (!writable_) return;
    FaultPoint(platform::kLockFileName);
    std::string text = header_;
    for (const platform::OwnFile& own : previous_.own) text += platform::RecordLine(own);
    WriteLockText(handle_, text);
    end_ = static_cast<DWORD>(text.size());
    if (durable_) FlushFileBuffers(handle_);
  }
  void Record(const std::string& name, const std::string& identity) {
    if (!writable_ || finished_ || identity.empty()) return;
    FaultPoint(platform::kLockFileName);
    const std::string line = platform::RecordLine({name, identity, ""});
    OVERLAPPED at = {};
    at.Offset = end_;
    DWORD written = 0;
    if (!WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, &at) ||
        written != line.size() || (durable_ && !FlushFileBuffers(handle_))) {
      throw LastError(platform::kLockFileName);
    }
    end_ += written;
  }
  void MarkFinished() override {
    if (!writable_) return;
    FaultPoint(platform::kLockFileName);
    std::string text = header_;
    size_t at = text.find(kRunning);
    if (at != std::string::npos) text.replace(at, std::strlen(kRunning), kFinished);
    WriteLockText(handle_, text);
    finished_ = true;
  }

 private:
  HANDLE handle_;
  std::wstring folder_;
  platform::LockRecord previous_;
  bool writable_;
  std::string header_;
  bool durable_;
  DWORD end_ = 0;
  bool finished_ = false;
};

std::string Field(const std::string& text, const std::string& key) {
  size_t at = text.find(key + "=");
  if (at == std::string::npos) return "?";
  at += key.size() + 1;
  size_t end = text.find_first_of("\r\n", at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// Why Windows cannot take name as one file name, "" when it can: besides a path, a character it
// forbids (also one a share that shows other systems' names maps into the private-use range), a
// trailing dot or blank (dropped when opened: another file), or a device name, with or without
// an extension, which opens the device itself (and may wait on it for ever).
std::string WindowsNameProblem(const std::string& name) {
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    // U+F000..U+F0FF in UTF-8: EF 80 80 .. EF 83 BF.
    const bool mapped = c == 0xEF && i + 1 < name.size() &&
                        static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(name[i + 1]) <= 0x83;
    if (c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr || mapped) {
      return "der Name enthält ein Zeichen, das Windows nicht zulässt";
    }
  }
  if (name.back() == '.' || name.back() == ' ') {
    return "der Name endet mit einem Punkt oder Leerzeichen";
  }
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  base = text::UpperAscii(base);
  const bool numbered = base.size() == 4 &&
                        (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) &&
                        base[3] >= '0' && base[3] <= '9';
  if (numbered || base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" ||
      base == "CONIN$" || base == "CONOUT$") {
    return "der Name ist der eines Geräts von Windows";
  }
  return "";
}

// The "volume:index" part of an identity: the file, whatever its content.
std::string FileOnly(const std::string& identity) {
  return identity.substr(0, identity.find(':', identity.find(':') + 1));
}

// The last part of a path.
std::string LastPart(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The folder of a path as a key: its full path in capitals (Windows compares names so).
std::wstring FolderKey(const std::string& path) {
  std::wstring full = SysPath(path);
  size_t slash = full.find_last_of(L'\\');
  full = slash == std::wstring::npos ? std::wstring() : full.substr(0, slash);
  CharUpperBuffW(full.data(), static_cast<DWORD>(full.size()));
  return full;
}

class WinFileSystem : public platform::FileSystem, public platform::FolderLocks {
  std::optional<bool> durable_;  // the job's choice; the process-wide default without one
  bool Durable() const { return durable_.value_or(platform::DurableWrites()); }

  // The locks this file system holds: the files it makes in their folders are recorded there.
  using HeldLocks = std::vector<WinWriterLock*>;
  std::shared_ptr<HeldLocks> held_ = std::make_shared<HeldLocks>();

  // A held lock, taken off the list when it goes.
  class Registered : public platform::WriterLock {
   public:
    Registered(std::unique_ptr<WinWriterLock> lock, std::shared_ptr<HeldLocks> held)
        : lock_(std::move(lock)), held_(std::move(held)) {}
    ~Registered() override {
      held_->erase(std::remove(held_->begin(), held_->end(), lock_.get()), held_->end());
    }
    bool previous_run_unfinished() const override { return lock_->previous_run_unfinished(); }
    std::vector<platform::OwnFile> previous_own_files() const override {
      return lock_->previous_own_files();
    }
    std::vector<std::string> refused_records() const override { return lock_->refused_records(); }
    void MarkFinished() override { lock_->MarkFinished(); }

   private:
    std::unique_ptr<WinWriterLock> lock_;
    std::shared_ptr<HeldLocks> held_;
  };

  // True when path is in a folder this file system holds the lock of.
  bool LockedFolder(const std::string& path) const {
    if (held_->empty()) return false;
    const std::wstring folder = FolderKey(path);
    for (WinWriterLock* lock : *held_) {
      if (lock->folder() == folder) return true;
    }
    return false;
  }

  // Records a file this run makes (or is about to make) at path under a held lock of its folder.
  void RecordOwn(const std::string& path, const std::string& identity) {
    if (held_->empty()) return;
    const std::wstring folder = FolderKey(path);
    for (WinWriterLock* lock : *held_) {
      if (lock->folder() == folder) lock->Record(LastPart(path), identity);
    }
  }

  // Error 55 when another program holds the file open so that it cannot be renamed or removed
  // (a file that is not there is no held one).
  static void RequireNotHeld(const std::string& path) {
    HANDLE h = CreateFileW(SysPath(path).c_str(), DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return;
    }
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
      throw Error(platform::kFileAlreadyOpen, path + " (ein anderes Programm hält es offen)");
    }
  }

  // A file is never opened, made, copied, moved or removed by a name Windows cannot take as a
  // file name: a device name would open the device.
  void RequireName(const std::string& path) {
    const std::string why = WhyNotAName(LastPart(path));
    if (!why.empty()) throw Error(platform::kPathNotFound, path + " (" + why + ")");
  }

 public:
  std::string WhyNotAName(const std::string& name) override {
    std::string why = FileSystem::WhyNotAName(name);
    return why.empty() ? WindowsNameProblem(name) : why;
  }
  void UseDurableWrites(bool on) override { durable_ = on; }
  bool FileExists(const std::string& path) override {
    if (!WhyNotAName(LastPart(path)).empty()) return false;  // nothing such is asked of the system
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
  }
  bool FolderExists(const std::string& path) override {
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
  }
  void CreateFolder(const std::string& path) override {
    if (!CreateDirectoryW(SysPath(path).c_str(), nullptr)) throw LastError(path);
  }
  void RemoveFolder(const std::string& path) override {
    if (!RemoveDirectoryW(SysPath(path).c_str())) throw LastError(path);
  }
  void CopyFile(const std::string& source, const std::string& destination,
                bool overwrite) override {
    RequireName(source);
    RequireName(destination);
    if (!FileExists(source)) throw Error(platform::kFileNotFound, source);
    FaultPoint(destination);
    if (!LockedFolder(destination)) {
      if (!CopyFileW(SysPath(source).c_str(), SysPath(destination).c_str(),
                     overwrite ? FALSE : TRUE)) {
        throw LastError(destination);
      }
      return;
    }
    // In a locked folder the copy is a new file of the run's, recorded under both its names and
    // whole before it takes the destination's name: a kill leaves no half-written copy that the
    // next run does not know.
    const DWORD existing = Attributes(destination);
    if (existing != INVALID_FILE_ATTRIBUTES) {
      if (!overwrite) throw Error(platform::kFileAlreadyExists, destination);
      if (existing & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) {
        throw Error(platform::kPermissionDenied, destination);
      }
    }
    WIN32_FILE_ATTRIBUTE_DATA from;
    if (!GetFileAttributesExW(SysPath(source).c_str(), GetFileExInfoStandard, &from)) {
      throw LastError(source);
    }
    const std::string partial = platform::PartialFileName(destination);
    try {
      {
        std::unique_ptr<platform::File> in = Open(source, platform::OpenMode::kRead);
        std::unique_ptr<platform::File> out = Open(partial, platform::OpenMode::kCreateNew);
        RecordOwn(destination, FileOnly(FileIdentity(partial)));
        char buffer[1 << 16];
        while (size_t n = in->Read(buffer, sizeof buffer)) out->Write(buffer, n);
        out->Close();
      }
      // The copy keeps the source's time of writing and attributes.
      HANDLE h = CreateFileW(SysPath(partial).c_str(), FILE_WRITE_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) throw LastError(partial);
      const bool timed = SetFileTime(h, nullptr, nullptr, &from.ftLastWriteTime) != 0;
      CloseHandle(h);
      if (!timed) throw LastError(partial);
      if (existing != INVALID_FILE_ATTRIBUTES) {
        ReplaceFile(partial, destination);
      } else if (!MoveFileExW(SysPath(partial).c_str(), SysPath(destination).c_str(),
                              MOVEFILE_WRITE_THROUGH)) {
        throw LastError(destination);
      }
      const DWORD kept = from.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
      SetFileAttributesW(SysPath(destination).c_str(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
    } catch (...) {
      DeleteFileW(SysPath(partial).c_str());
      throw;
    }
  }
  void MoveFile(const std::string& source, const std::string& destination) override {
    RequireName(source);
    RequireName(destination);
    FaultPoint(destination);
    if (!MoveFileW(SysPath(source).c_str(), SysPath(destination).c_str()))
      throw LastError(destination);
  }
  void DeleteFile(const std::string& path, bool force) override {
    RequireName(path);
    DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY)) {
      throw Error(platform::kFileNotFound, path);
    }
    FaultPoint(path);
    if (force && (a & FILE_ATTRIBUTE_READONLY)) {
      SetFileAttributesW(SysPath(path).c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    }
    if (!DeleteFileW(SysPath(path).c_str())) throw LastError(path);
  }
  bool LinkFile(const std::string& existing, const std::string& new_name) override {
    RequireName(existing);
    RequireName(new_name);
    // The first step of a swap: a form that another program holds open cannot be replaced, so
    // nothing is begun (no backup, no attribute changed).
    RequireNotHeld(existing);
    // The backup is the run's while it names the form's content: recorded before it has its name.
    RecordOwn(new_name, FileIdentity(existing));
    FaultPoint(new_name);
    if (CreateHardLinkW(SysPath(new_name).c_str(), SysPath(existing).c_str(), nullptr)) return true;
    DWORD error = GetLastError();
    if (error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION &&
        error != ERROR_TOO_MANY_LINKS) {
      SetLastError(error);
      throw LastError(error == ERROR_FILE_NOT_FOUND ? existing : new_name);
    }
    // No links on this volume: a copy, which keeps the times.
    if (!CopyFileW(SysPath(existing).c_str(), SysPath(new_name).c_str(), TRUE))
      throw LastError(new_name);
    RecordOwn(new_name, FileIdentity(new_name));
    return true;
  }
  bool ReplaceFile(const std::string& source, const std::string& destination) override {
    RequireName(source);
    RequireName(destination);
    RequireNotHeld(destination);
    // The new file takes the destination's name: it stays the run's under that name too (a
    // temporary file saved anew is the run's temporary file still).
    if (LockedFolder(destination)) RecordOwn(destination, FileOnly(FileIdentity(source)));
    DWORD a = Attributes(destination);
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) {
      SetFileAttributesW(SysPath(destination).c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    }
    // The platform's replace keeps what the form has: its ACL, attributes and alternate streams.
    // It is put on the disk at once, as the rename below is. Where the volume cannot replace
    // (or the form is missing), the rename. Where the replace is two steps (the form to a name
    // of its own, the new file to the form's name), that name is the run's, recorded before: a
    // kill between them leaves nothing that the next run does not know.
    const std::string aside = platform::PartialFileName(destination);
    if (a != INVALID_FILE_ATTRIBUTES) RecordOwn(aside, FileIdentity(destination));
    FaultPoint(destination);
    if (a != INVALID_FILE_ATTRIBUTES &&
        ReplaceFileW(SysPath(destination).c_str(), SysPath(source).c_str(), SysPath(aside).c_str(),
                     REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                     nullptr)) {
      DeleteFileW(SysPath(aside).c_str());  // if it stays, the next run removes it
      HANDLE h = CreateFileW(SysPath(destination).c_str(), GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(h);
        CloseHandle(h);
      }
      // The form's attributes but for the read-only one, also where the replace did not keep
      // them (as Wine's does not).
      SetFileAttributesW(SysPath(destination).c_str(), (a & ~FILE_ATTRIBUTE_READONLY)
                                                           ? a & ~FILE_ATTRIBUTE_READONLY
                                                           : FILE_ATTRIBUTE_NORMAL);
      return true;
    }
    if (a != INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
      // The form went aside and the new file did not follow: the form comes back.
      MoveFileExW(SysPath(aside).c_str(), SysPath(destination).c_str(), MOVEFILE_WRITE_THROUGH);
    }
    if (!MoveFileExW(SysPath(source).c_str(), SysPath(destination).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      Error error = LastError(destination);
      // The form was not replaced (another program holds it open): it keeps its attributes.
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(SysPath(destination).c_str(), a);
      }
      throw error;
    }
    return true;
  }
  std::string FileIdentity(const std::string& path) override {
    if (!WhyNotAName(LastPart(path)).empty()) return "";
    HANDLE h = CreateFileW(SysPath(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "";
    std::string identity = IdentityOf(h, true);
    CloseHandle(h);
    return identity;
  }
  // A rename with MOVEFILE_WRITE_THROUGH is on the disk when it returns: nothing to flush.
  void SyncFolder(const std::string&) override {}
  platform::LockPeek PeekFormFolderLock(const std::string&) override { return {}; }
  std::unique_ptr<platform::WriterLock> LockFormFolder(const std::string& folder,
                                                       double wait_seconds) override {
    std::string path = folder + "\\" + platform::kLockFileName;
    HANDLE handle = CreateFileW(SysPath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
    bool writable = handle != INVALID_HANDLE_VALUE;
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD error = GetLastError();
      if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) {
        return nullptr;  // no database there: nothing to protect
      }
      // A record this account may not write (another account made it, or the volume is
      // read-only): the lock is taken all the same, on the record opened for reading, so that
      // every account that may write the forms meets it. A run that cannot take it never writes.
      handle = CreateFileW(SysPath(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        Error cause = LastError(path);
        throw Error(platform::kPathFileAccessError,
                    "der Sperrvermerk " + path + " kann weder geschrieben noch gelesen werden (" +
                        platform::ErrorDescription(cause.number()) +
                        "); der Formularordner muss für diesen Benutzer lesbar sein");
      }
    }
    ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait_seconds * 1000);
    for (;;) {
      OVERLAPPED at = {};
      at.Offset = kLockOffset;
      if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        break;
      }
      // A stop request ends the wait as its end would: nothing is done.
      if (GetTickCount64() >= deadline || llupdate::StopRequested()) {
        std::string text = ReadLockText(handle);
        CloseHandle(handle);
        throw Error(platform::kPermissionDenied,
                    "die Datenbank " + folder +
                        " wird von einem anderen Lauf bearbeitet (Rechner " + Field(text, "host") +
                        ", Prozess " + Field(text, "pid") + ", seit " + Field(text, "since") + ")");
      }
      Sleep(50);
    }
    platform::LockRecord previous = platform::ParseLockRecord(ReadLockText(handle));
    wchar_t host[256] = L"?";
    DWORD size = 255;
    GetComputerNameW(host, &size);
    SYSTEMTIME now;
    GetLocalTime(&now);
    char since[32];
    wsprintfA(since, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
              now.wMinute, now.wSecond);
    auto lock = std::make_unique<WinWriterLock>(
        handle, FolderKey(path), std::move(previous), writable,
        platform::LockRecordHeader(Utf8(host, static_cast<int>(wcslen(host))),
                                   std::to_string(GetCurrentProcessId()), "", since, true),
        Durable());
    lock->Begin();  // (a record it may not write names the holder before it)
    held_->push_back(lock.get());
    return std::make_unique<Registered>(std::move(lock), held_);
  }
  std::vector<platform::FileEntry> ListFiles(const std::string& folder) override {
    if (!FolderExists(folder)) throw Error(platform::kPathNotFound, folder);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((SysPath(folder) + L"\\*").c_str(), &data);
    std::vector<platform::FileEntry> files;
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      std::string name = Utf8(data.cFileName, static_cast<int>(wcslen(data.cFileName)));
      if (name == platform::kLockFileName) continue;  // the lock's record is no form
      files.push_back({name, folder + "\\" + name});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return text::NameLess(a.name, b.name); });
    return files;
  }
  std::unique_ptr<platform::File> Open(const std::string& path, platform::OpenMode mode) override {
    RequireName(path);
    std::wstring wide = SysPath(path);
    HANDLE handle;
    if (mode == platform::OpenMode::kRead) {
      handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
      DWORD a = Attributes(path);
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        throw Error(platform::kPathFileAccessError, path);
      }
      DWORD disposition = mode == platform::OpenMode::kCreateNew ? CREATE_NEW
                          : a == INVALID_FILE_ATTRIBUTES         ? CREATE_NEW
                                                                 : TRUNCATE_EXISTING;
      // The name of a new file beside the forms is recorded before the file exists: it is the
      // run's while it is empty, before any content is written (a kill right after the file is
      // made leaves nothing that the record does not know).
      if (mode == platform::OpenMode::kCreateNew) RecordOwn(path, platform::kIdentityOfEmptyFile);
      FaultPoint(path);
      // A new file can be marked to vanish with its handle until it is recorded (DELETE access).
      const DWORD access =
          GENERIC_WRITE | (mode == platform::OpenMode::kCreateNew && !held_->empty() ? DELETE : 0);
      handle = CreateFileW(wide.c_str(), access, FILE_SHARE_READ, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD a = Attributes(path);
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        throw Error(platform::kPathFileAccessError, path);
      }
      throw LastError(path);
    }
    if (mode == platform::OpenMode::kCreateNew && !held_->empty()) {
      // A new file beside the forms is the run's. Until the record says so it is marked to be
      // deleted when its handle closes, so that a run killed before it recorded the file leaves
      // no file of its own that its record does not know.
      FILE_DISPOSITION_INFO doomed = {TRUE};
      const bool marked =
          SetFileInformationByHandle(handle, FileDispositionInfo, &doomed, sizeof doomed) != 0;
      try {
        RecordOwn(path, IdentityOf(handle, false));
      } catch (...) {
        CloseHandle(handle);
        DeleteFileW(wide.c_str());
        throw;
      }
      FILE_DISPOSITION_INFO kept = {FALSE};
      if (marked && !SetFileInformationByHandle(handle, FileDispositionInfo, &kept, sizeof kept)) {
        Error error = LastError(path);
        CloseHandle(handle);
        throw error;
      }
    }
    return std::make_unique<WinFile>(handle, path, mode != platform::OpenMode::kRead, Durable());
  }
  uint32_t GetAttributes(const std::string& path) override {
    RequireName(path);
    DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES) throw LastError(path);
    return a & (platform::kAttrReadOnly | platform::kAttrHidden | platform::kAttrSystem |
                platform::kAttrDirectory | platform::kAttrArchive);
  }
  void SetAttributes(const std::string& path, uint32_t attributes) override {
    RequireName(path);
    FaultPoint(path);
    DWORD keep = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (!SetFileAttributesW(SysPath(path).c_str(), keep == 0 ? FILE_ATTRIBUTE_NORMAL : keep)) {
      throw LastError(path);
    }
  }
};

}  // namespace

std::shared_ptr<platform::FileSystem> NewWinFileSystem() {
  return std::make_shared<WinFileSystem>();
}

}  // namespace llupdate::windows

namespace llupdate::platform {

// Windows has no owner in a file's record: the account stays empty, and records are trusted by
// their names and identities alone.
Who WhoRuns() {
  wchar_t user[257] = L"?";
  DWORD size = 257;
  GetUserNameW(user, &size);
  wchar_t host[MAX_COMPUTERNAME_LENGTH + 1] = L"?";
  size = MAX_COMPUTERNAME_LENGTH + 1;
  GetComputerNameW(host, &size);
  return {windows::Utf8(user, static_cast<int>(wcslen(user))), "",
          windows::Utf8(host, static_cast<int>(wcslen(host))),
          std::to_string(GetCurrentProcessId())};
}

}  // namespace llupdate::platform
