// A file system that reads from the disk and keeps every change in memory: a job run on it
// changes nothing on the disk, and afterwards it tells what the job would have changed. Reads
// open only regular files and follow a symbolic link only when it leads into one of the given
// directories.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "llupdate/preview.h"
#include "platform/file_system.h"

namespace llupdate::platform {

class OverlayFileSystem : public PreviewFileSystem, public FolderLocks {
 public:
  // base: the file system read from (the operating system's); roots: the directories (operating
  // system paths) whose files may be read through a link.
  OverlayFileSystem(std::shared_ptr<FileSystem> base, std::vector<std::string> roots);

  std::vector<Change> Changes() override;
  const std::string& held_by() const override { return held_by_; }
  std::string BytesBefore(const std::string& path) override;
  std::string BytesAfter(const std::string& path) override;

  bool FileExists(const std::string& path) override;
  bool FolderExists(const std::string& path) override;
  void CreateFolder(const std::string& path) override;
  void CopyFile(const std::string& source, const std::string& destination, bool overwrite) override;
  void MoveFile(const std::string& source, const std::string& destination) override;
  void DeleteFile(const std::string& path, bool force) override;
  std::vector<FileEntry> ListFiles(const std::string& folder) override;
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
  uint32_t GetAttributes(const std::string& path) override;
  void SetAttributes(const std::string& path, uint32_t attributes) override;
  void BeginJob() override { base_->BeginJob(); }
  void EndJob() override { base_->EndJob(); }
  // The disk's content until the first change; from then on the overlay's.
  std::unique_ptr<InPlaceFile> OpenInPlace(const std::string& path, bool write,
                                           bool create) override;
  bool LinkFile(const std::string& existing, const std::string& new_name) override;
  bool ReplaceFile(const std::string& source, const std::string& destination) override;
  // A file the preview has touched is no longer the one on the disk.
  std::string FileIdentity(const std::string& path) override {
    return Find(path) == nullptr ? base_->FileIdentity(path) : "";
  }
  std::unique_ptr<WriterLock> LockFormFolder(const std::string& folder,
                                             double wait_seconds) override;
  std::string ShownPath(const std::string& path) override { return base_->ShownPath(path); }
  std::string FileOwner(const std::string& path) override {
    return Find(path) == nullptr ? base_->FileOwner(path) : "";
  }
  std::string RealPath(const std::string& path) override { return base_->RealPath(path); }
  void RemoveFolder(const std::string& path) override;
  bool OthersMayWrite(const std::string& path) override {
    return Find(path) == nullptr && base_->OthersMayWrite(path);
  }
  bool MayWrite(const std::string& path, const std::string& account) override {
    return Find(path) != nullptr || base_->MayWrite(path, account);
  }
  bool MayReplace(const std::string& path, const std::string& account) override {
    return !BaseFile(path) || base_->MayReplace(path, account);
  }
  LockPeek PeekFormFolderLock(const std::string& folder) override {
    return platform::PeekFormFolderLock(*base_, folder);
  }
  // In a folder another run holds, the files of the disk whose names work() tells are that run's
  // work in progress: the preview sees them as absent, as the real run (which waits for the
  // lock) would once that run has ended.
  void HideWorkOfHolder(std::function<bool(const std::string& name)> work) {
    work_ = std::move(work);
  }

 private:
  // The content of a file in the overlay: the bytes of a disk file until it is written.
  struct Content {
    bool loaded = false;
    std::string origin;  // the component path of the disk file, while not loaded
    std::string bytes;
  };
  struct Node {
    bool present = true;  // false: deleted
    bool folder = false;
    std::string path;  // as the job named it last
    std::shared_ptr<Content> content;
    bool read_only = false;
  };

  static std::string Key(const std::string& path);
  static std::string FolderOf(const std::string& path);
  Node* Find(const std::string& path);
  bool BaseFile(const std::string& path);
  bool IsFile(const std::string& path);
  bool IsFolder(const std::string& path);
  bool NameTaken(const std::string& path);
  Node& RequireFile(const std::string& path);
  Node& Put(const std::string& path);
  void Rename(Node& from, const std::string& destination, bool keep_source);
  bool MadeHere(const std::string& folder);
  Error Missing(const std::string& path);
  // Refuses what the real run would be refused: replacing (or_write_into: or else writing into),
  // removing or renaming a file of the disk where this account may not.
  void CheckMayReplace(const std::string& path, bool or_write_into);
  void CheckReadable(const std::string& path);
  std::string ReadBase(const std::string& path);
  const std::string& Load(Content& content);

  std::shared_ptr<FileSystem> base_;
  std::string held_by_;
  const std::string account_ = platform::WhoRuns().account;
  std::function<bool(const std::string& name)> work_;
  std::set<std::string> held_folders_;  // keys of the folders another run holds
  bool Hidden(const std::string& path);
  std::vector<std::string> roots_;
  std::map<std::string, Node> nodes_;  // by key
};

}  // namespace llupdate::platform
