// The file-system object on Windows, over the wide-character file API. Names compare without
// regard to case there natively, and read-only is the file attribute.
#include <windows.h>

#include <algorithm>

#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/text.h"
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

DWORD Attributes(const std::string& path) { return GetFileAttributesW(Wide(path).c_str()); }

class WinFile : public platform::File {
 public:
  WinFile(HANDLE handle, std::string path) : handle_(handle), path_(std::move(path)) {}
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
    if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle)) throw LastError(path_);
  }

 private:
  HANDLE handle_;
  std::string path_;
};

class WinFileSystem : public platform::FileSystem {
 public:
  bool FileExists(const std::string& path) override {
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
  }
  bool FolderExists(const std::string& path) override {
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
  }
  void CreateFolder(const std::string& path) override {
    if (!CreateDirectoryW(Wide(path).c_str(), nullptr)) throw LastError(path);
  }
  void CopyFile(const std::string& source, const std::string& destination,
                bool overwrite) override {
    if (!FileExists(source)) throw Error(platform::kFileNotFound, source);
    if (!CopyFileW(Wide(source).c_str(), Wide(destination).c_str(), overwrite ? FALSE : TRUE)) {
      throw LastError(destination);
    }
  }
  void MoveFile(const std::string& source, const std::string& destination) override {
    if (!MoveFileW(Wide(source).c_str(), Wide(destination).c_str())) throw LastError(destination);
  }
  void DeleteFile(const std::string& path, bool force) override {
    DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY)) {
      throw Error(platform::kFileNotFound, path);
    }
    if (force && (a & FILE_ATTRIBUTE_READONLY)) {
      SetFileAttributesW(Wide(path).c_str(), a & ~FILE_ATTRIBUTE_READONLY);
    }
    if (!DeleteFileW(Wide(path).c_str())) throw LastError(path);
  }
  std::vector<platform::FileEntry> ListFiles(const std::string& folder) override {
    if (!FolderExists(folder)) throw Error(platform::kPathNotFound, folder);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(Wide(folder + "\\*").c_str(), &data);
    std::vector<platform::FileEntry> files;
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      std::string name = Utf8(data.cFileName, static_cast<int>(wcslen(data.cFileName)));
      files.push_back({name, folder + "\\" + name});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    std::sort(files.begin(), files.end(),
              [](const auto& a, const auto& b) { return platform::NameLess(a.name, b.name); });
    return files;
  }
  std::unique_ptr<platform::File> Open(const std::string& path, platform::OpenMode mode) override {
    std::wstring wide = Wide(path);
    HANDLE handle;
    if (mode == platform::OpenMode::kRead) {
      handle = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
      DWORD a = Attributes(path);
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        throw Error(platform::kPathFileAccessError, path);
      }
      handle = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           a == INVALID_FILE_ATTRIBUTES ? CREATE_NEW : TRUNCATE_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
      DWORD a = Attributes(path);
      if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
        throw Error(platform::kPathFileAccessError, path);
      }
      throw LastError(path);
    }
    return std::make_unique<WinFile>(handle, path);
  }
  uint32_t GetAttributes(const std::string& path) override {
    DWORD a = Attributes(path);
    if (a == INVALID_FILE_ATTRIBUTES) throw LastError(path);
    return a & (platform::kAttrReadOnly | platform::kAttrHidden | platform::kAttrSystem |
                platform::kAttrDirectory | platform::kAttrArchive);
  }
  void SetAttributes(const std::string& path, uint32_t attributes) override {
    DWORD keep = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (!SetFileAttributesW(Wide(path).c_str(), keep == 0 ? FILE_ATTRIBUTE_NORMAL : keep)) {
      throw LastError(path);
    }
  }
};

}  // namespace

std::shared_ptr<platform::FileSystem> NewWinFileSystem() {
  return std::make_shared<WinFileSystem>();
}

}  // namespace llupdate::windows
