// A file system for tests that passes every call to another one, counts the files it has open,
// and makes a chosen call fail.
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
  kCreateFolder
};

class FaultFileSystem : public platform::FileSystem {
 public:
  explicit FaultFileSystem(std::shared_ptr<platform::FileSystem> base);

  // The nth call of op from now on (1 = the next) whose path contains path_part fails with the
  // error number.
  void FailOn(FsOp op, int nth = 1, int32_t error = 75, std::string path_part = "");
  // Files opened through this object and not yet destroyed.
  int open_files() const;
  // Calls of op so far.
  int calls(FsOp op) const;

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

  struct State;

 private:
  std::shared_ptr<platform::FileSystem> base_;
  std::shared_ptr<State> state_;
};

}  // namespace llupdate::testing
