// The file system of the component: one interface between its logic and the operating system,
// shaped like LevelDB's Env, so that every file operation can be replaced: by a host's own
// implementation registered under the ProgID "Scripting.FileSystemObject" (see host.h), by a
// wrapper that changes a few calls (derive from ForwardingFileSystem), or by the in-memory
// implementation in tests.
//
// Paths are component paths: "\" separates their parts (the OS implementation maps it), and every
// part that exists is found without regard to letter case, an exact match first. So
// "db\Berichtell\a.lst" names "db/BerichteLL/a.lst" when only that spelling exists.
//
// Failures are thrown as llupdate::Error (error.h) with the number that fits: 53 for a missing
// file, 76 for a missing folder, 58 for a name that is taken, 70 for refused access, 61 for a full
// disk. An object is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "llupdate/error.h"
#include "llupdate/object.h"

namespace llupdate {

// File attributes in the platform's classic bit values.
enum Attribute : uint32_t {
  kAttrNormal = 0,
  kAttrReadOnly = 1,
  kAttrHidden = 2,
  kAttrSystem = 4,
  kAttrDirectory = 16,
  kAttrArchive = 32,
};

enum class OpenMode {
  kRead,       // the file must exist
  kWrite,      // created when missing, emptied when present
  kCreateNew,  // a new file: error 58 when anything has the name already; never through a link
};

// An open file. Errors are thrown as Error (error.h). A file that is destroyed without Close()
// is closed quietly. Close() of a file opened for writing puts its data on the disk first while
// durable writes are on (see FileSystem::UseDurableWrites), so a closed file is complete after a
// power cut.
class File {
 public:
  virtual ~File() = default;
  // Reads up to size bytes; returns 0 at the end of the file.
  virtual size_t Read(char* buffer, size_t size) = 0;
  virtual void Write(const char* data, size_t size) = 0;
  virtual void Close() = 0;
  // Writes the last data and closes the file, as Write() then Close() do; a file system may put
  // both on the disk in one step (a new form written in one piece costs one call).
  virtual void Finish(const char* data, size_t size) {
    Write(data, size);
    Close();
  }
};

// A file read and changed in place, at any offset: the settings store keeps its database in one.
// Errors are thrown as Error (error.h). The file is closed when the object is destroyed.
class InPlaceFile {
 public:
  virtual ~InPlaceFile() = default;
  // Reads up to size bytes at offset; fewer only at the end of the file.
  virtual size_t ReadAt(uint64_t offset, char* buffer, size_t size) = 0;
  virtual void WriteAt(uint64_t offset, const char* data, size_t size) = 0;
  virtual void Truncate(uint64_t size) = 0;
  virtual uint64_t Size() = 0;
  // Puts the file's data on the disk while durable writes are on.
  virtual void Sync() = 0;
  // The advisory locks of SQLite's file format, shared with every process that opens the file:
  // 0 none, 1 shared, 2 reserved, 3 pending, 4 exclusive. Lock raises the level (false when
  // another holder's level stands in the way), Unlock lowers it to 0 or 1, and Reserved tells
  // whether another holder has level 2 or above. A file system with one process keeps the
  // defaults.
  virtual bool Lock(int level) {
    (void)level;
    return true;
  }
  virtual void Unlock(int level) { (void)level; }
  virtual bool Reserved() { return false; }
};

// What a name in a folder is, a symbolic link not followed.
enum class EntryKind {
  kNone,    // nothing has the name
  kFile,    // a regular file
  kFolder,  // a folder
  kLink,    // a symbolic link (RealPath tells where it leads)
  kOther,   // a pipe, a device, a socket
};

struct FileEntry {
  std::string name;  // the name as the directory holds it
  std::string path;  // the folder as given, "\" and the name
};

class FileSystem : public Object {
 public:
  // What the Scripting Runtime's file-system object offers.
  virtual bool FileExists(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  virtual void CreateFolder(const std::string& path) = 0;
  // Copies a file; with overwrite an existing destination is replaced (unless it is read-only).
  // The copy keeps the source's attributes and modification time.
  virtual void CopyFile(const std::string& source, const std::string& destination,
                        bool overwrite) = 0;
  // Moves a file; fails when the destination exists.
  virtual void MoveFile(const std::string& source, const std::string& destination) = 0;
  // Deletes a file; a read-only file only with force.
  virtual void DeleteFile(const std::string& path, bool force) = 0;
  // The files directly in a folder (no subdirectories), ordered by name ignoring case.
  virtual std::vector<FileEntry> ListFiles(const std::string& folder) = 0;

  // What the run-time library offers.
  virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;
  // The attributes of an existing file or directory.
  virtual uint32_t GetAttributes(const std::string& path) = 0;
  virtual void SetAttributes(const std::string& path, uint32_t attributes) = 0;

  // A job begins or ends (calls nest). Within a job the file system may keep what it learnt of
  // folders and names; the caller tells it when the job is over.
  virtual void BeginJob() {}
  virtual void EndJob() {}
  // Whether what this file system writes is put on the disk (a new file before it replaces a form,
  // a folder after its entries changed): a job gives its choice when it begins. Without one, the
  // process-wide default holds (SetDurableWrites in call.h).
  virtual void UseDurableWrites(bool on) { (void)on; }

  // What keeps a form whole at every instant. A file system that offers only the classic
  // operations above keeps these defaults, and the rewrites then use the classic sequence.
  //
  // Gives an existing file a second name (a hard link; on a file system without links a copy
  // with its time stamps). The new name must be free: error 58 otherwise. False when this file
  // system offers no such operation.
  virtual bool LinkFile(const std::string& existing, const std::string& new_name) {
    (void)existing, (void)new_name;
    return false;
  }
  // Renames source over destination in one step: the destination (also a read-only one) names
  // the old content until it names the new one. False when this file system cannot do that.
  virtual bool ReplaceFile(const std::string& source, const std::string& destination) {
    (void)source, (void)destination;
    return false;
  }
  // Puts the folder's entries (names created, renamed, removed) on the disk while durable writes
  // are on.
  virtual void SyncFolder(const std::string& path) { (void)path; }
  // Flushes in batches. While on (and durable writes are on), a file written through Open is
  // not yet put on the disk when it is closed; FlushWritten puts every such file there at once
  // (one call for the file system where it can). ReplaceFile and MoveFile never let such a file
  // replace or become another before its data is on the disk: they flush it first, unless it
  // replaces a file that is itself still waiting. True when this file system batches its
  // flushes; false (the default) where every new file is on the disk when it is closed.
  virtual bool DeferFlushes(bool on) {
    (void)on;
    return false;
  }
  virtual void FlushWritten() {}
  // Opens a file to read (and with write to change) in place; with create a missing file is
  // made, empty (owned, where the system has owners and the run is the administrator's, like its
  // folder). A symbolic link is never followed. nullptr when this file system offers no such
  // files: the settings store then opens its file on the disk itself.
  virtual std::unique_ptr<InPlaceFile> OpenInPlace(const std::string& path, bool write,
                                                   bool create) {
    (void)path, (void)write, (void)create;
    return nullptr;
  }
  // The identity of a file as it is now, "" when it is missing or no regular file: "device:inode"
  // for a file the program made, with ":size:mtime" added where the content counts too. A run
  // records the identities of the files it makes beside the forms, so that only those are ever
  // taken for its own.
  // A file system that cannot tell gives "" for every file: then no file counts as the program's
  // own, and healing touches nothing.
  virtual std::string FileIdentity(const std::string& path) {
    (void)path;
    return "";
  }
  // The account that owns a file ("uid" on POSIX), a link not followed; "" when it is missing or
  // this file system has no owners.
  virtual std::string FileOwner(const std::string& path) {
    (void)path;
    return "";
  }
  // Removes an empty folder: an error when it is missing, not empty or cannot be removed.
  virtual void RemoveFolder(const std::string& path);
  // Who may change a folder or file the program made for itself (the run journal): as the folder
  // that holds it (its bits; shared by the group where the form folder is), or its owner alone
  // (the others keep reading where the folder lets them). Nothing where this file system has no
  // owners.
  enum class Access { kLikeFolder, kOwnerWrites };
  virtual void SetAccess(const std::string& path, Access access) { (void)path, (void)access; }
  // True when another account than the owner could change the file or folder (write bits for
  // group or others, an ACL that grants it, a link in its place); false where this file system
  // has no owners.
  virtual bool OthersMayWrite(const std::string& path) {
    (void)path;
    return false;
  }
  // True when account (as FileOwner gives it) could write the file, or create and remove files
  // in the folder, that path names; true where this file system has no owners.
  virtual bool MayWrite(const std::string& path, const std::string& account) {
    (void)path, (void)account;
    return true;
  }
  // True when account could give the name of the file path to another file or remove it: its
  // folder is writable for account and, where the folder keeps each file to its owner (sticky),
  // account owns the file or the folder; true where this file system has no owners.
  virtual bool MayReplace(const std::string& path, const std::string& account) {
    (void)path, (void)account;
    return true;
  }

  // Why name cannot stand as one file name in a folder of this file system, "" when it can: a
  // name it would take for a path (a separator of either kind, "." or "..", NUL) or, on Windows,
  // for a device or a name the system forbids. Such a name is never made into a path.
  virtual std::string WhyNotAName(const std::string& name);

  // What a person is shown and what tells one place from another.
  //
  // The path as the operating system has it (its separators, the letter case on the disk); the
  // path itself where this file system has no other view.
  virtual std::string ShownPath(const std::string& path) { return path; }
  // The real path of an existing file or folder (links resolved), the same for every path that
  // reaches it; "" when it is not there or this file system cannot tell.
  virtual std::string RealPath(const std::string& path) {
    (void)path;
    return "";
  }
  // What path names, a link not followed. A file system without links or other kinds of entries
  // answers from FileExists and FolderExists.
  virtual EntryKind KindOf(const std::string& path) {
    if (FileExists(path)) return EntryKind::kFile;
    return FolderExists(path) ? EntryKind::kFolder : EntryKind::kNone;
  }
};

// The name of the lock file in a form folder.
inline constexpr char kLockFileName[] = ".llupdate-lock";

// Passes every call on to another file system: a wrapper derives from it and overrides only what
// it changes.
class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(std::shared_ptr<FileSystem> target) : target_(std::move(target)) {}
  FileSystem& target() { return *target_; }

  bool FileExists(const std::string& path) override { return target_->FileExists(path); }
  bool FolderExists(const std::string& path) override { return target_->FolderExists(path); }
  void CreateFolder(const std::string& path) override { target_->CreateFolder(path); }
  void CopyFile(const std::string& source, const std::string& destination,
                bool overwrite) override {
    target_->CopyFile(source, destination, overwrite);
  }
  void MoveFile(const std::string& source, const std::string& destination) override {
    target_->MoveFile(source, destination);
  }
  void DeleteFile(const std::string& path, bool force) override {
    target_->DeleteFile(path, force);
  }
  std::vector<FileEntry> ListFiles(const std::string& folder) override {
    return target_->ListFiles(folder);
  }
  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override {
    return target_->Open(path, mode);
  }
  uint32_t GetAttributes(const std::string& path) override { return target_->GetAttributes(path); }
  void SetAttributes(const std::string& path, uint32_t attributes) override {
    target_->SetAttributes(path, attributes);
  }
  void BeginJob() override { target_->BeginJob(); }
  void EndJob() override { target_->EndJob(); }
  void UseDurableWrites(bool on) override { target_->UseDurableWrites(on); }
  bool LinkFile(const std::string& existing, const std::string& new_name) override {
    return target_->LinkFile(existing, new_name);
  }
  bool ReplaceFile(const std::string& source, const std::string& destination) override {
    return target_->ReplaceFile(source, destination);
  }
  void SyncFolder(const std::string& path) override { target_->SyncFolder(path); }
  bool DeferFlushes(bool on) override { return target_->DeferFlushes(on); }
  void FlushWritten() override { target_->FlushWritten(); }
  std::unique_ptr<InPlaceFile> OpenInPlace(const std::string& path, bool write,
                                           bool create) override {
    return target_->OpenInPlace(path, write, create);
  }
  std::string FileIdentity(const std::string& path) override { return target_->FileIdentity(path); }
  std::string FileOwner(const std::string& path) override { return target_->FileOwner(path); }
  std::string ShownPath(const std::string& path) override { return target_->ShownPath(path); }
  std::string RealPath(const std::string& path) override { return target_->RealPath(path); }
  EntryKind KindOf(const std::string& path) override { return target_->KindOf(path); }
  std::string WhyNotAName(const std::string& name) override { return target_->WhyNotAName(name); }
  void RemoveFolder(const std::string& path) override { target_->RemoveFolder(path); }
  void SetAccess(const std::string& path, Access access) override {
    target_->SetAccess(path, access);
  }
  bool OthersMayWrite(const std::string& path) override { return target_->OthersMayWrite(path); }
  bool MayWrite(const std::string& path, const std::string& account) override {
    return target_->MayWrite(path, account);
  }
  bool MayReplace(const std::string& path, const std::string& account) override {
    return target_->MayReplace(path, account);
  }

 private:
  std::shared_ptr<FileSystem> target_;
};

// The file system of the operating system (the default).
std::shared_ptr<FileSystem> NewOsFileSystem();

// A file system held in memory, for tests and previews: folders and files with their content,
// read-only attribute and a modification counter; names compare without regard to case; hard
// links share content; locks are held per object. Folders are created with CreateFolder.
std::shared_ptr<FileSystem> NewMemoryFileSystem();

}  // namespace llupdate
