// A file system for tests that passes every call to another one, counts the files it has open,
// makes a chosen call fail, or stops carrying out calls altogether (a crash), and can pretend to
// offer only the classic operations.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/file_system.h"

namespace llupdate::testing {

enum class FsOp {
  kOpen,
  kRead,
  kWrite,
  kClose,
  kCopy,
  kMove,
  kDelete,
  kList,
  kGetAttributes,
  kSetAttributes,
  kCreateFolder,
  kExists,
  kLink,
  kReplace,
  kSyncFolder,
  kLock,
  kFlushWritten,
  kSync,  // a file changed in place put on the disk
};

inline constexpr int32_t kOutOfMemory = -1;

class FaultFileSystem : public ForwardingFileSystem, public platform::FolderLocks {
 public:
  explicit FaultFileSystem(std::shared_ptr<platform::FileSystem> base);

  // The nth call of op from now on (1 = the next) whose path contains path_part fails with the
  // error number (kOutOfMemory: throws std::bad_alloc, no error of the file system).
  void FailOn(FsOp op, int nth = 1, int32_t error = 75, std::string path_part = "");
  // Files opened through this object and not yet destroyed.
  int open_files() const;
  // Calls of op so far.
  int calls(FsOp op) const;
  // Calls of every kind so far (file reads, writes and closes included).
  int total_calls() const;
  // From the nth call of any kind on (1 = the next), no call is carried out: each fails with
  // error 75, as if the process had died at that point and its calls went nowhere.
  void CrashAt(int nth);
  // The nth call of any kind from now on (1 = the next) fails once with the error number and is
  // not carried out; every other call is.
  void FailAt(int nth, int32_t error);
  // Offers only copy, delete and move, like a host's own file system of the classic kind.
  void SetClassicOnly(bool classic_only);
  // True once CrashAt's call has been reached.
  bool crashed() const;
  // The faults of FailOn that have not struck yet.
  int faults_left() const;
  // The folders in which a name (not one of the program's own scratch files) was made, replaced
  // or removed since their last flush, each with such a name: empty when every such change is on
  // the disk.
  std::map<std::string, std::string> unflushed_names() const;

  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  void CreateFolder(const std::string& path) override;
  void CopyFile(const std::string& source, const std::string& destination, bool overwrite) override;
  void MoveFile(const std::string& source, const std::string& destination) override;
  void DeleteFile(const std::string& path, bool force) override;
  std::vector<platform::FileEntry> ListFiles(const std::string& folder) override;
  std::unique_ptr<platform::File> Open(const std::string& path, platform::OpenMode mode) override;
  uint32_t GetAttributes(const std::string& path) override;
  void SetAttributes(const std::string& path, uint32_t attributes) override;
  bool LinkFile(const std::string& existing, const std::string& new_name) override;
  bool ReplaceFile(const std::string& source, const std::string& destination) override;
  void SyncFolder(const std::string& path) override;
  void FlushWritten() override;
  std::unique_ptr<InPlaceFile> OpenInPlace(const std::string& path, bool write,
                                           bool create) override;
  std::unique_ptr<platform::WriterLock> LockFormFolder(const std::string& folder,
                                                       double wait_seconds) override;
  platform::LockPeek PeekFormFolderLock(const std::string& folder) override {
    return platform::PeekFormFolderLock(target(), folder);
  }

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace llupdate::testing
